// The fake file-cache server as a program of its own: the tests that have
// the client launch its server run it, and so can an application that
// moves files through FccProxy (see the README). It serves the master pipe
// named by FCC_PROXYPIPENAME (or the default) until it is interrupted or
// the process that started it ends, and knows a small file for each ticket
// given on its command line; it moves no bytes into files of its own, it
// only answers as a file-cache server would. FAKE_FCC_SECONDARY_WAIT_MS, when
// set, is how long it waits for a client to connect to the secondary pipe it
// named (5000 by default), serving no other client meanwhile.
//
//   qmsoa_fake_fcc_server [<ticket>...]

#include <tests/support/FakeFccServer.hxx>

#include <sys/prctl.h>

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <map>
#include <string>

int main(int argc, char** argv) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    const char* name = std::getenv("FCC_PROXYPIPENAME");
    try {
        std::map<std::string, std::string> files;
        for (int i = 1; i < argc; ++i) {
            files[argv[i]] = "The file of ticket " + std::to_string(i) + ".\n";
        }
        Quillomark::Testing::FakeFccServer server(
            name && *name ? name : "\\\\.\\pipe\\FMSClientPipe", files);
        server.setKeepRequests(false);  // it may serve for long
        if (const char* wait = std::getenv("FAKE_FCC_SECONDARY_WAIT_MS")) {
            server.setSecondaryConnectWait(std::atoi(wait));
        }
        int received = 0;
        sigwait(&stopSignals, &received);
    } catch (const std::exception& e) {
        std::cerr << argv[0] << ": " << e.what() << "\n";
        return 1;
    }
    return 0;
}

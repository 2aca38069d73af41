// The fake file-cache server as a program of its own, for the tests that
// have the client launch its server. It serves the master pipe named by
// FCC_PROXYPIPENAME (or the default) until it is told to stop or the
// process that started it ends.

#include <tests/support/FakeFccServer.hxx>

#include <sys/prctl.h>

#include <csignal>
#include <cstdlib>
#include <string>

int main() {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    const char* name = std::getenv("FCC_PROXYPIPENAME");
    Quillomark::Testing::FakeFccServer server(name && *name ? name : "\\\\.\\pipe\\FMSClientPipe");
    int received = 0;
    sigwait(&stopSignals, &received);
    return 0;
}

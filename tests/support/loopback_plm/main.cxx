// The loopback PLM service as a program of its own, for a first application
// to talk to: it serves on 127.0.0.1 and the port given on the command line
// (0: any free one) until it is interrupted, and prints one line for each
// request that it answers. The example and the end-to-end tests build the
// same service into their own processes.
//
//   qmsoa_loopback_plm 8642

#include <tests/support/LoopbackPlmService.hxx>

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <string>

int main(int argc, char** argv) {
    char* end = nullptr;
    const long port = argc == 2 ? std::strtol(argv[1], &end, 10) : -1;
    if (argc != 2 || end == argv[1] || *end != '\0' || port < 0 || port > 65535) {
        std::cerr << "usage: " << argv[0] << " <port>   (0: any free port)\n";
        return 2;
    }

    // Blocked before the server's threads start, so that they inherit the
    // mask and only the wait below takes the signal.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    try {
        Quillomark::Testing::LoopbackPlmService service(static_cast<int>(port));
        service.setLog(
            [](const std::string& line) { std::cout << "[server] " << line << std::endl; });
        std::cout << "Loopback PLM service at " << service.hostPath() << " (user " << service.USER
                  << ", password " << service.PASSWORD << ")" << std::endl;
        int received = 0;
        sigwait(&stopSignals, &received);
    } catch (const std::exception& e) {
        std::cerr << argv[0] << ": " << e.what() << "\n";
        return 1;
    }
    return 0;
}

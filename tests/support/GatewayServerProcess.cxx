#include "tests/support/GatewayServerProcess.hxx"

#include <soa/client/internal/GatewayOrb.hxx>

#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

namespace Quillomark::Testing {

namespace {

// A port that is free at the moment: the kernel's choice for a socket bound
// to port 0.
int freeLoopbackPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        throw std::runtime_error("socket failed");
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t length = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
        ::close(fd);
        throw std::runtime_error("bind failed");
    }
    ::close(fd);
    return ntohs(addr.sin_port);
}

}  // namespace

GatewayServerProcess::GatewayServerProcess(std::string nativeCharCodeSet)
    : charCodeSet(std::move(nativeCharCodeSet)) {}

GatewayServerProcess::~GatewayServerProcess() { stop(); }

std::string GatewayServerProcess::hostPath(const std::string& key) const {
    return "iiop:127.0.0.1:" + std::to_string(serverPort) + "/" + key;
}

void GatewayServerProcess::start() {
    // Another process may take a freshly chosen port before the server
    // binds it; then another port is tried. A restart keeps its port and
    // waits for it to come free.
    const bool portChosen = serverPort != 0;
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (!portChosen) {
            serverPort = freeLoopbackPort();
        }
        if (tryStart()) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    throw std::runtime_error("the gateway test server did not start");
}

bool GatewayServerProcess::tryStart() {
    int out[2];
    if (::pipe(out) != 0) {
        throw std::runtime_error("pipe failed");
    }
    const std::string port = std::to_string(serverPort);
    const pid_t parent = ::getpid();
    child = ::fork();
    if (child < 0) {
        throw std::runtime_error("fork failed");
    }
    if (child == 0) {
        // The server ends with the test process, also with one that
        // crashes or is killed before it could stop the server.
        if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) {
            ::_exit(127);
        }
        ::dup2(out[1], STDOUT_FILENO);
        ::close(out[0]);
        ::close(out[1]);
        ::execl(QMSOA_GATEWAY_TEST_SERVER, QMSOA_GATEWAY_TEST_SERVER, port.c_str(),
                charCodeSet.empty() ? static_cast<char*>(nullptr) : charCodeSet.c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(out[1]);
    // Wait for "ready", or for the server to give up (end of its output).
    std::string seen;
    pollfd readable{out[0], POLLIN, 0};
    while (seen.find("ready\n") == std::string::npos && ::poll(&readable, 1, 30000) > 0) {
        char buffer[64];
        const ssize_t n = ::read(out[0], buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        seen.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    if (seen.find("ready\n") != std::string::npos) {
        return true;
    }
    stop();
    return false;
}

void GatewayServerProcess::stop() {
    if (child > 0) {
        ::kill(child, SIGKILL);
        while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
        }
        child = -1;
    }
}

std::string callThrough(CORBA::ORB_ptr orb, const std::string& hostPath,
                        const std::string& operation, const std::string& request) {
    try {
        CORBA::Object_var object = orb->string_to_object(("corbaloc:" + hostPath).c_str());
        QmCorbaServiceGateway_var gateway = QmCorbaServiceGateway::_unchecked_narrow(object.in());
        const auto length = static_cast<CORBA::ULong>(request.size());
        const QmByteSeq_t bytes(length, length,
                                reinterpret_cast<CORBA::Octet*>(const_cast<char*>(request.data())));
        QmByteSeq_t_var reply = gateway->invokeMethod("App", operation.c_str(), bytes);
        return std::string(reinterpret_cast<const char*>(reply->get_buffer()), reply->length());
    } catch (const CORBA::Exception& e) {
        return Quillomark::Soa::Client::describeCorbaException(e);
    }
}

}  // namespace Quillomark::Testing

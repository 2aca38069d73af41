#include "tests/support/ResettingPeer.hxx"

#include "tests/fastcache/ChildProcess.hxx"
#include "tests/support/LoopbackHttpServer.hxx"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

#ifdef QMSOA_TEST_TLS
#include <openssl/err.h>
#include <openssl/ssl.h>
#endif

namespace Quillomark::Testing {

namespace {

// What the peer reads of a request before it resets the connection: more
// than the request line and headers, far less than the bodies sent to it.
constexpr std::size_t BYTES_TAKEN = 64 * 1024;

[[noreturn]] void fail(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

// Closing with a zero linger time sends an RST instead of a FIN.
void resetAndClose(int socket) {
    const linger abortive{1, 0};
    ::setsockopt(socket, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    ::close(socket);
}

#ifdef QMSOA_TEST_TLS

// Reads until the bytes taken have arrived or the connection ends: what
// arrived.
std::size_t takeTls(SSL_CTX* context, int socket) {
    SSL* tls = SSL_new(context);
    if (!tls) return 0;
    SSL_set_fd(tls, socket);
    std::size_t taken = 0;
    if (SSL_accept(tls) == 1) {
        char chunk[16384];
        while (taken < BYTES_TAKEN) {
            const int n = SSL_read(tls, chunk, sizeof chunk);
            if (n <= 0) break;
            taken += static_cast<std::size_t>(n);
        }
    }
    // No close_notify: the connection is reset under the TLS session.
    SSL_free(tls);
    ERR_clear_error();
    return taken;
}

#endif

}  // namespace

ResettingPeer::ResettingPeer(Transport transport) : transport(transport) {
    if (transport == Transport::Tls) {
        tls = throwawayTlsContext();
    }
    listenSocket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenSocket < 0) fail("socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listenSocket, reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
        ::listen(listenSocket, 64) != 0 ||
        ::getsockname(listenSocket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        fail("listen");
    }
    port = ntohs(address.sin_port);
    acceptor = runningThread([this] { acceptLoop(); });
}

ResettingPeer::~ResettingPeer() {
    // A listening socket shut down ends the accept that waits on it.
    ::shutdown(listenSocket, SHUT_RDWR);
    acceptor.join();
    for (std::thread& connection : connections) connection.join();
    ::close(listenSocket);
#ifdef QMSOA_TEST_TLS
    SSL_CTX_free(static_cast<SSL_CTX*>(tls));
#endif
}

std::string ResettingPeer::url() const {
    return (transport == Transport::Tls ? "https" : "http") + std::string("://127.0.0.1:") +
           std::to_string(port);
}

void ResettingPeer::acceptLoop() {
    for (;;) {
        const int socket = ::accept4(listenSocket, nullptr, nullptr, SOCK_CLOEXEC);
        if (socket < 0 && (errno == EINTR || errno == ECONNABORTED)) continue;
        if (socket < 0) return;
        connections.emplace_back([this, socket] { serve(socket); });
    }
}

void ResettingPeer::serve(int socket) {
    // A client that refuses the certificate closes while the handshake's
    // last messages are still to be written: that write fails with EPIPE
    // instead of raising SIGPIPE in the test process.
    sigset_t brokenPipe;
    sigemptyset(&brokenPipe);
    sigaddset(&brokenPipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &brokenPipe, nullptr);
    // A client that stops sending before the peer has taken its bytes would
    // hold this thread up: the receive time-out only ends such a hang.
    const timeval limit{30, 0};
    ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::size_t taken = 0;
#ifdef QMSOA_TEST_TLS
    if (tls) taken = takeTls(static_cast<SSL_CTX*>(tls), socket);
#endif
    char chunk[16384];
    while (!tls && taken < BYTES_TAKEN) {
        const ssize_t n = ::recv(socket, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        taken += static_cast<std::size_t>(n);
    }
    if (taken >= BYTES_TAKEN) ++resets;
    resetAndClose(socket);
}

}  // namespace Quillomark::Testing

#include "tests/support/LoopbackHttpServer.hxx"

#include "tests/fastcache/ChildProcess.hxx"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <system_error>

#ifdef QMSOA_TEST_TLS
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#endif

namespace Quillomark::Testing {

namespace {

[[noreturn]] void fail(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

[[noreturn]] void failTls(const char* what) {
#ifdef QMSOA_TEST_TLS
    ERR_clear_error();
#endif
    throw std::runtime_error(what);
}

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

const char* reason(int status) {
    switch (status) {
        case 200: return "OK";
        case 302: return "Found";
        case 401: return "Unauthorized";
        case 404: return "Not Found";
        case 500: return "Internal Server Error";
        default: return "Status";
    }
}

bool sendAll(int fd, const std::string& data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    return address;
}

int boundPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) fail("getsockname");
    return ntohs(address.sin_port);
}

// The longest request head (request line and header lines) it reads.
constexpr std::size_t MAX_HEAD = 65536;
// What it reads of a refused connection's further bytes before it closes.
constexpr std::size_t MAX_DRAIN = 1 << 20;

bool isTokenChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) ||
           (c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

bool isToken(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), isTokenChar);
}

// As a strict server reads a target: only the bytes that a URI path, query
// or authority may hold unescaped, so not a blank, a control byte or one of
// "\"<>[\\]^`{|}#".
bool isTarget(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) ||
               (c != '\0' && std::strchr("-._~!$&'()*+,;=:@/?%", c) != nullptr);
    });
}

enum class Head { Incomplete, Complete, Malformed };

// Reads the head of the request at the start of `buffer` into `request`;
// `bodyStart` is where its body begins and `length` the body's length.
// A method that is no token is refused at its first byte, so that a peer
// speaking another protocol is not kept waiting for the end of a head.
Head readHead(const std::string& buffer, HttpRequest& request, std::size_t& bodyStart,
              std::size_t& length) {
    const auto methodEnd = std::find_if_not(buffer.begin(), buffer.end(), isTokenChar);
    if (methodEnd != buffer.end() && (*methodEnd != ' ' || methodEnd == buffer.begin())) {
        return Head::Malformed;
    }
    const std::size_t headEnd = buffer.find("\r\n\r\n");
    if (headEnd == std::string::npos || headEnd + 4 > MAX_HEAD) {
        return buffer.size() > MAX_HEAD ? Head::Malformed : Head::Incomplete;
    }

    const std::size_t lineEnd = buffer.find("\r\n");
    request.requestLine = buffer.substr(0, lineEnd);
    const auto firstBlank = request.requestLine.find(' ');
    const auto secondBlank = request.requestLine.find(' ', firstBlank + 1);
    if (secondBlank == std::string::npos) return Head::Malformed;
    request.method = request.requestLine.substr(0, firstBlank);
    request.target = request.requestLine.substr(firstBlank + 1, secondBlank - firstBlank - 1);
    const std::string version = request.requestLine.substr(secondBlank + 1);
    if (!isToken(request.method) || !isTarget(request.target) || version.size() != 8 ||
        version.compare(0, 5, "HTTP/") != 0 ||
        !std::isdigit(static_cast<unsigned char>(version[5])) || version[6] != '.' ||
        !std::isdigit(static_cast<unsigned char>(version[7]))) {
        return Head::Malformed;
    }

    request.headers = buffer.substr(lineEnd + 2, headEnd + 2 - (lineEnd + 2));
    for (std::size_t start = 0; start < request.headers.size();) {
        const std::size_t end = request.headers.find("\r\n", start);
        const std::size_t colon = request.headers.find(':', start);
        if (colon > end || !isToken(request.headers.substr(start, colon - start))) {
            return Head::Malformed;
        }
        start = end + 2;
    }
    const std::string announced = request.header("Content-Length").value_or("0");
    if (announced.empty() || announced.size() > 18 ||
        !std::all_of(announced.begin(), announced.end(),
                     [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })) {
        return Head::Malformed;
    }
    length = std::stoull(announced);
    bodyStart = headEnd + 4;
    return Head::Complete;
}

// The bytes of one connection: in the clear, or over TLS inside a tunnel.
class Channel {
public:
    explicit Channel(int socket) : socket(socket) {}
    ~Channel() {
#ifdef QMSOA_TEST_TLS
        SSL_free(tls);
#endif
    }
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    // Takes a client's TLS handshake; false when it fails, or when the build
    // serves no TLS.
    bool startTls() {
#ifdef QMSOA_TEST_TLS
        // TLS writes with write(), not with send()'s MSG_NOSIGNAL: a client
        // gone away fails a write with EPIPE instead of raising SIGPIPE.
        sigset_t brokenPipe;
        sigemptyset(&brokenPipe);
        sigaddset(&brokenPipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &brokenPipe, nullptr);
        SSL_CTX* context = static_cast<SSL_CTX*>(throwawayTlsContext());
        tls = SSL_new(context);
        SSL_CTX_free(context);
        if (tls != nullptr && SSL_set_fd(tls, socket) == 1 && SSL_accept(tls) == 1) return true;
        ERR_clear_error();
#endif
        return false;
    }
    // Whether bytes already arrived that a receive returns without waiting.
    bool buffered() const {
#ifdef QMSOA_TEST_TLS
        if (tls != nullptr) return SSL_pending(tls) > 0;
#endif
        return false;
    }
    // As recv(): what arrived, 0 at the end, negative on a failure.
    ssize_t receive(char* into, std::size_t size) {
#ifdef QMSOA_TEST_TLS
        if (tls != nullptr) return SSL_read(tls, into, static_cast<int>(size));
#endif
        return ::recv(socket, into, size, 0);
    }
    bool send(const std::string& data) {
#ifdef QMSOA_TEST_TLS
        if (tls != nullptr) {
            return data.empty() || SSL_write(tls, data.data(), static_cast<int>(data.size())) ==
                                       static_cast<int>(data.size());
        }
#endif
        return sendAll(socket, data);
    }

private:
    int socket;
#ifdef QMSOA_TEST_TLS
    SSL* tls = nullptr;
#endif
};

}  // namespace

std::optional<std::string> HttpRequest::header(const std::string& name) const {
    const std::string wanted = lowered(name);
    std::size_t start = 0;
    while (start < headers.size()) {
        std::size_t end = headers.find("\r\n", start);
        if (end == std::string::npos) end = headers.size();
        const std::string line = headers.substr(start, end - start);
        const auto colon = line.find(':');
        if (colon != std::string::npos && lowered(trimmed(line.substr(0, colon))) == wanted) {
            return trimmed(line.substr(colon + 1));
        }
        start = end + 2;
    }
    return std::nullopt;
}

HttpReply HttpReply::ok(std::string body) { return withStatus(200, std::move(body)); }

HttpReply HttpReply::withStatus(int status, std::string body) {
    HttpReply reply;
    reply.status = status;
    reply.body = std::move(body);
    return reply;
}

HttpReply HttpReply::closing() {
    HttpReply reply;
    reply.ending = Ending::Close;
    return reply;
}

LoopbackHttpServer::LoopbackHttpServer(int port) {
    if (::pipe2(stopPipe, O_CLOEXEC) != 0) fail("pipe2");
    listenSocket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenSocket < 0) fail("socket");
    // A given port can be taken again at once after a server on it ended.
    const int reuse = 1;
    ::setsockopt(listenSocket, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    const sockaddr_in address = loopback(port);
    if (::bind(listenSocket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        fail("bind");
    }
    if (::listen(listenSocket, 64) != 0) fail("listen");
    listenPort = boundPort(listenSocket);
    acceptor = runningThread([this] { acceptLoop(); });
}

LoopbackHttpServer::~LoopbackHttpServer() {
    const char stop = 's';
    while (::write(stopPipe[1], &stop, 1) < 0 && errno == EINTR) {
    }
    acceptor.join();
    // Joined without the lock, which each ends with.
    std::list<std::thread> all;
    {
        const std::lock_guard<std::mutex> lock(connectionsMutex);
        all.swap(connections);
    }
    for (std::thread& connection : all) connection.join();
    ::close(listenSocket);
    ::close(stopPipe[0]);
    ::close(stopPipe[1]);
}

std::string LoopbackHttpServer::url() const {
    return "http://127.0.0.1:" + std::to_string(listenPort);
}

LoopbackHttpServer::Wait LoopbackHttpServer::wait(int fd, int timeoutMs) const {
    pollfd fds[2] = {{stopPipe[0], POLLIN, 0}, {fd, POLLIN, 0}};
    const nfds_t count = fd >= 0 ? 2 : 1;
    for (;;) {
        const int n = ::poll(fds, count, timeoutMs);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) fail("poll");
        if (n == 0) return Wait::TimedOut;
        if (fds[0].revents != 0) return Wait::Stopped;
        return Wait::Ready;
    }
}

void LoopbackHttpServer::acceptLoop() {
    while (wait(listenSocket, -1) == Wait::Ready) {
        const int socket = ::accept4(listenSocket, nullptr, nullptr, SOCK_CLOEXEC);
        if (socket < 0) continue;
        const int on = 1;
        ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        std::lock_guard<std::mutex> lock(connectionsMutex);
        for (auto connection = connections.begin(); connection != connections.end();) {
            if (std::find(ended.begin(), ended.end(), connection->get_id()) == ended.end()) {
                ++connection;
                continue;
            }
            connection->join();
            connection = connections.erase(connection);
        }
        ended.clear();
        connections.emplace_back([this, socket] {
            serve(socket);
            ::close(socket);
            const std::lock_guard<std::mutex> lock(connectionsMutex);
            ended.push_back(std::this_thread::get_id());
        });
    }
}

void LoopbackHttpServer::serve(int socket) {
    Channel channel(socket);
    std::string buffer;
    char chunk[65536];
    // Reads until `buffer` holds at least `size` bytes; false when the
    // client went away, stayed silent past the idle limit, or the server
    // stops.
    const auto fill = [&](std::size_t size) {
        while (buffer.size() < size) {
            const int limit = idleLimitMs.load();
            if (!channel.buffered() && wait(socket, limit > 0 ? limit : -1) != Wait::Ready) {
                return false;
            }
            const ssize_t n = channel.receive(chunk, sizeof chunk);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            buffer.append(chunk, static_cast<std::size_t>(n));
        }
        return true;
    };

    // A SOCKS client is let in with the login it offers, if any, which the
    // requests of its connection record; whatever host it names, this
    // server answers.
    const auto at = [&](std::size_t i) { return static_cast<unsigned char>(buffer[i]); };
    std::string socksLogin;
    if (!fill(1)) return;
    if (at(0) == 5) {
        if (!fill(2) || !fill(2 + at(1))) return;  // 05, a count, the methods
        const bool login = std::memchr(buffer.data() + 2, 2, at(1)) != nullptr;
        buffer.erase(0, 2 + at(1));
        if (!sendAll(socket, std::string(login ? "\x05\x02" : "\x05\x00", 2))) return;
        if (login) {  // 01, the user's length and bytes, the password's
            if (!fill(2) || !fill(3 + at(1)) || !fill(3 + at(1) + at(2 + at(1)))) return;
            socksLogin = buffer.substr(2, at(1)) + ":" + buffer.substr(3 + at(1), at(2 + at(1)));
            buffer.erase(0, 3 + at(1) + at(2 + at(1)));
            if (!sendAll(socket, std::string("\x01\x00", 2))) return;
        }
        // 05 01 00, an IPv4 address, a name or an IPv6 address, a port.
        if (!fill(5)) return;
        const std::size_t address = at(3) == 1 ? 4 : at(3) == 4 ? 16 : 1 + at(4);
        if (!fill(6 + address)) return;
        buffer.erase(0, 6 + address);
        if (!sendAll(socket, std::string("\x05\x00\x00\x01\0\0\0\0\0\0", 10))) return;
    } else if (at(0) == 4) {  // 04 01, a port, an IPv4 address, the user and a NUL
        if (!fill(9)) return;
        std::size_t end;
        while ((end = buffer.find('\0', 8)) == std::string::npos) {
            if (!fill(buffer.size() + 1)) return;
        }
        socksLogin = buffer.substr(8, end - 8);
        buffer.erase(0, end + 1);
        if (!sendAll(socket, std::string("\0\x5A\0\0\0\0\0\0", 8))) return;
    }

    std::string tunnelLogin;
    bool tunnel = false;
    for (int served = 1;; ++served) {
        HttpRequest request;
        request.socksLogin = socksLogin;
        request.tunnelLogin = tunnelLogin;
        request.onConnection = served;
        std::size_t bodyStart = 0;
        std::size_t length = 0;
        Head head;
        while ((head = readHead(buffer, request, bodyStart, length)) == Head::Incomplete) {
            if (!fill(buffer.size() + 1)) return;
        }
        if (head == Head::Malformed) return tunnel ? void() : refuse(socket);
        buffer.erase(0, bodyStart);

        if (lowered(request.header("Expect").value_or("")) == "100-continue" &&
            !channel.send("HTTP/1.1 100 Continue\r\n\r\n")) {
            return;
        }
        if (!fill(length)) return;
        request.body = buffer.substr(0, length);
        buffer.erase(0, length);

        const HttpReply reply = responder.answer(request);
        if (reply.delay.count() > 0 &&
            wait(-1, static_cast<int>(reply.delay.count())) == Wait::Stopped) {
            return;
        }
        if (reply.ending == HttpReply::Ending::Close) return;

        const bool shortened =
            reply.ending == HttpReply::Ending::Stall || reply.ending == HttpReply::Ending::Cut;
        const bool chunked = reply.ending == HttpReply::Ending::BadChunk;
        std::string out = "HTTP/1.1 " + std::to_string(reply.status) + " " + reason(reply.status) +
                          "\r\nContent-Type: text/xml; charset=UTF-8\r\n";
        if (chunked) {
            out += "Transfer-Encoding: chunked\r\n";
        } else {
            out += "Content-Length: " + std::to_string(reply.body.size() + (shortened ? 1 : 0)) +
                   "\r\n";
        }
        for (const std::string& line : reply.headers) out += line + "\r\n";
        out += "\r\n";
        if (chunked) {
            char size[32];
            std::snprintf(size, sizeof size, "%zx\r\n", reply.body.size());
            out += size + reply.body + "\r\nno size\r\n";
        } else {
            out += reply.body;
        }
        if (!channel.send(out)) return;
        if (reply.ending == HttpReply::Ending::Cut || chunked) return;

        if (reply.ending == HttpReply::Ending::Stall) {
            // Silence until the client closes or the server stops.
            while (wait(socket, -1) == Wait::Ready) {
                if (channel.receive(chunk, sizeof chunk) <= 0) return;
            }
            return;
        }

        // A CONNECT answered 200 opens a tunnel to this server itself, whose
        // requests record the login that opened it.
        if (request.method == "CONNECT" && reply.status == 200) {
            if (tunnel || !buffer.empty() || !channel.startTls()) return;
            tunnel = true;
            tunnelLogin = request.header("Proxy-Authorization").value_or("");
        }
    }
}

void LoopbackHttpServer::refuse(int socket) {
    const std::string text = "The request is not one this server can read.\n";
    if (!sendAll(socket,
                 "HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain\r\n"
                 "Content-Length: " +
                     std::to_string(text.size()) + "\r\nConnection: close\r\n\r\n" + text)) {
        return;
    }
    // Closing with unread bytes would reset the connection and could take
    // the reply with it: the peer is given the end of the reply and its
    // further bytes are read away until it closes, goes quiet or has sent
    // too much.
    ::shutdown(socket, SHUT_WR);
    char chunk[4096];
    std::size_t drained = 0;
    const int limit = idleLimitMs.load();
    while (drained < MAX_DRAIN &&
           wait(socket, limit > 0 ? std::min(limit, 1000) : 1000) == Wait::Ready) {
        const ssize_t n = ::recv(socket, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        drained += static_cast<std::size_t>(n);
    }
}

bool tlsAvailable() {
#ifdef QMSOA_TEST_TLS
    return true;
#else
    return false;
#endif
}

void* throwawayTlsContext() {
#ifdef QMSOA_TEST_TLS
    EVP_PKEY* key = EVP_EC_gen("P-256");
    if (!key) failTls("EVP_EC_gen");
    X509* certificate = X509_new();
    if (!certificate) failTls("X509_new");
    X509_set_version(certificate, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1);
    X509_gmtime_adj(X509_getm_notBefore(certificate), -60);
    X509_gmtime_adj(X509_getm_notAfter(certificate), 24 * 3600);
    X509_set_pubkey(certificate, key);
    X509_NAME* name = X509_get_subject_name(certificate);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
    X509_set_issuer_name(certificate, name);
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* altName =
        X509V3_EXT_conf_nid(nullptr, &context, NID_subject_alt_name, "IP:127.0.0.1");
    if (!altName || !X509_add_ext(certificate, altName, -1)) failTls("subjectAltName");
    X509_EXTENSION_free(altName);
    if (X509_sign(certificate, key, EVP_sha256()) == 0) failTls("X509_sign");

    SSL_CTX* tls = SSL_CTX_new(TLS_server_method());
    const bool ready = tls && SSL_CTX_use_certificate(tls, certificate) == 1 &&
                       SSL_CTX_use_PrivateKey(tls, key) == 1;
    X509_free(certificate);
    EVP_PKEY_free(key);
    if (!ready) {
        SSL_CTX_free(tls);
        failTls("SSL_CTX");
    }
    return tls;
#else
    failTls("built without TLS");
#endif
}

int unusedLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) fail("socket");
    const sockaddr_in address = loopback(0);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        fail("bind");
    }
    const int port = boundPort(fd);
    ::close(fd);
    return port;
}

}  // namespace Quillomark::Testing

#include "tests/support/LoopbackHttpServer.hxx"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace Quillomark::Testing {

namespace {

[[noreturn]] void fail(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
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
    acceptor = std::thread([this] { acceptLoop(); });
}

LoopbackHttpServer::~LoopbackHttpServer() {
    const char stop = 's';
    while (::write(stopPipe[1], &stop, 1) < 0 && errno == EINTR) {
    }
    acceptor.join();
    {
        std::lock_guard<std::mutex> lock(connectionsMutex);
        for (std::thread& connection : connections) connection.join();
    }
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
        connections.emplace_back([this, socket] {
            serve(socket);
            ::close(socket);
        });
    }
}

void LoopbackHttpServer::serve(int socket) {
    std::string buffer;
    char chunk[65536];
    // Reads until `buffer` holds at least `size` bytes; false when the
    // client went away or the server stops.
    const auto fill = [&](std::size_t size) {
        while (buffer.size() < size) {
            if (wait(socket, -1) != Wait::Ready) return false;
            const ssize_t n = ::recv(socket, chunk, sizeof chunk, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            buffer.append(chunk, static_cast<std::size_t>(n));
        }
        return true;
    };

    for (;;) {
        std::size_t headerEnd;
        while ((headerEnd = buffer.find("\r\n\r\n")) == std::string::npos) {
            if (!fill(buffer.size() + 1)) return;
        }
        HttpRequest request;
        const std::size_t lineEnd = buffer.find("\r\n");
        request.requestLine = buffer.substr(0, lineEnd);
        request.headers = buffer.substr(lineEnd + 2, headerEnd + 2 - (lineEnd + 2));
        const auto firstBlank = request.requestLine.find(' ');
        const auto secondBlank = request.requestLine.find(' ', firstBlank + 1);
        request.method = request.requestLine.substr(0, firstBlank);
        request.target = request.requestLine.substr(firstBlank + 1, secondBlank - firstBlank - 1);
        buffer.erase(0, headerEnd + 4);

        if (lowered(request.header("Expect").value_or("")) == "100-continue" &&
            !sendAll(socket, "HTTP/1.1 100 Continue\r\n\r\n")) {
            return;
        }
        const std::size_t length =
            std::strtoull(request.header("Content-Length").value_or("0").c_str(), nullptr, 10);
        if (!fill(length)) return;
        request.body = buffer.substr(0, length);
        buffer.erase(0, length);

        const HttpReply reply = responder.answer(request);
        if (reply.delay.count() > 0 &&
            wait(-1, static_cast<int>(reply.delay.count())) == Wait::Stopped) {
            return;
        }
        if (reply.ending == HttpReply::Ending::Close) return;

        const std::size_t announced =
            reply.body.size() + (reply.ending == HttpReply::Ending::Stall ? 1 : 0);
        std::string out = "HTTP/1.1 " + std::to_string(reply.status) + " " + reason(reply.status) +
                          "\r\nContent-Type: text/xml; charset=UTF-8\r\nContent-Length: " +
                          std::to_string(announced) + "\r\n";
        for (const std::string& line : reply.headers) out += line + "\r\n";
        out += "\r\n" + reply.body;
        if (!sendAll(socket, out)) return;

        if (reply.ending == HttpReply::Ending::Stall) {
            // Silence until the client closes or the server stops.
            while (wait(socket, -1) == Wait::Ready) {
                if (::recv(socket, chunk, sizeof chunk, 0) <= 0) return;
            }
            return;
        }
    }
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

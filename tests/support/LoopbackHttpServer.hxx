#pragma once

#include "tests/support/ScriptedResponder.hxx"

#include <atomic>
#include <chrono>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace Quillomark::Testing {

// One request as the server received it.
struct HttpRequest {
    std::string requestLine;  // "POST /RestServices/Svc/op HTTP/1.1"
    std::string method;
    std::string target;   // origin form, or absolute form through a proxy
    std::string headers;  // the raw header lines, each ending in CRLF
    std::string body;
    std::string socksLogin;   // the SOCKS login that opened its connection: SOCKS5's
                              // "user:password", SOCKS4's user
    std::string tunnelLogin;  // the Proxy-Authorization of the CONNECT that opened its tunnel
    int onConnection = 0;     // 1 for the first request of its connection, 2 for the next, ...

    // The value of the first header of that name (case-insensitive).
    std::optional<std::string> header(const std::string& name) const;
};

// What the server does with one request.
struct HttpReply {
    enum class Ending {
        Complete,  // status, headers and the whole body
        Stall,     // status, headers announcing more body than is sent, the
                   // body, then silence until the client gives up
        Cut,       // the same, but the connection is closed after the body
        BadChunk,  // the body as the one chunk of a chunked reply, then a
                   // chunk size that is no number
        Close      // the connection is closed without any reply
    };

    int status = 200;
    std::string body;
    std::vector<std::string> headers;    // extra header lines, e.g. "Set-Cookie: s=1"
    std::chrono::milliseconds delay{0};  // before the status line
    Ending ending = Ending::Complete;

    static HttpReply ok(std::string body);
    static HttpReply withStatus(int status, std::string body);
    static HttpReply closing();
};

// An HTTP/1.1 server on 127.0.0.1 and the given port (0: an ephemeral one), run by threads of
// the test process (one per connection, so kept-alive connections of
// several clients are served at once). It answers from its script and
// records every request; a request body has no size limit. What it cannot
// read as a request (a request line or header that HTTP does not allow, a
// target with a byte that a URI may not hold unescaped, a head longer than
// 64 KB, a bad Content-Length) gets "400 Bad Request" and the connection is
// closed; the script never sees it. A connection may begin with a SOCKS5 or
// SOCKS4 handshake, so that the server stands in for a SOCKS proxy too. A
// CONNECT that the script answers 200 opens a tunnel to the server itself
// over TLS (a throwaway certificate for 127.0.0.1), in which a request that
// it cannot read closes the connection.
class LoopbackHttpServer {
public:
    explicit LoopbackHttpServer(int port = 0);
    ~LoopbackHttpServer();
    LoopbackHttpServer(const LoopbackHttpServer&) = delete;
    LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

    int port() const { return listenPort; }
    std::string url() const;  // "http://127.0.0.1:<port>"

    // A connection on which no byte arrives for this long while the server
    // waits for a request, or for the rest of one, is closed. Zero, the
    // default, waits for ever.
    void setIdleLimit(std::chrono::milliseconds limit) {
        idleLimitMs = static_cast<int>(limit.count());
    }

    ScriptedResponder<HttpRequest, HttpReply>& script() { return responder; }
    void push(HttpReply reply) { responder.push(std::move(reply)); }
    std::vector<HttpRequest> requests() const { return responder.calls(); }

private:
    void acceptLoop();
    void serve(int socket);
    void refuse(int socket);
    enum class Wait { Ready, TimedOut, Stopped };
    // Waits for `fd` (none when -1) to turn readable, for the time-out
    // (-1: none) to pass, or for the server to stop, whichever comes first.
    Wait wait(int fd, int timeoutMs) const;

    ScriptedResponder<HttpRequest, HttpReply> responder;
    int listenSocket = -1;
    int listenPort = 0;
    int stopPipe[2] = {-1, -1};
    std::atomic<int> idleLimitMs{0};
    std::thread acceptor;
    std::mutex connectionsMutex;
    std::list<std::thread> connections;
    // Those of the threads above whose connection ended: joined as the next
    // connection comes, so that a long-lived server's ended threads do not
    // add up (their stacks, mapped until joined, slow every fork).
    std::vector<std::thread::id> ended;
};

// Whether this build serves TLS (OpenSSL's development files were found).
bool tlsAvailable();
// A TLS server context (an SSL_CTX*, which the caller frees) with a fresh key
// and a self-signed certificate for 127.0.0.1, valid for a day; throws
// when the build serves no TLS.
void* throwawayTlsContext();

// A loopback port on which nothing listens (bound once, then released).
int unusedLoopbackPort();

}  // namespace Quillomark::Testing

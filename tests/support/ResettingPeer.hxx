#pragma once

#include <atomic>
#include <list>
#include <string>
#include <thread>

namespace Quillomark::Testing {

// A server on 127.0.0.1 that takes the first bytes of each request and then
// resets the connection (an RST, not an orderly close) while the client is
// still sending its body. Over TLS it first completes the handshake with a
// throwaway self-signed certificate for 127.0.0.1, made when the peer starts
// (see tlsAvailable in LoopbackHttpServer.hxx).
class ResettingPeer {
public:
    enum class Transport { Plain, Tls };

    explicit ResettingPeer(Transport transport);
    ~ResettingPeer();
    ResettingPeer(const ResettingPeer&) = delete;
    ResettingPeer& operator=(const ResettingPeer&) = delete;

    // "http://127.0.0.1:<port>" or "https://127.0.0.1:<port>".
    std::string url() const;
    // Connections reset after they had sent at least the bytes the peer takes.
    int resetsMidUpload() const { return resets.load(); }

private:
    void acceptLoop();
    void serve(int socket);

    Transport transport;
    void* tls = nullptr;  // the TLS context, when serving TLS
    int listenSocket = -1;
    int port = 0;
    std::atomic<int> resets{0};
    std::thread acceptor;
    std::list<std::thread> connections;  // the acceptor's own until it has ended
};

}  // namespace Quillomark::Testing

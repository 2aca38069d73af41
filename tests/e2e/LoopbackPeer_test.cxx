// The loopback PLM service as a peer that a user may point the wrong client
// at: what it cannot read as an HTTP request it refuses with 400 and hangs
// up, and a connection that stays silent is dropped instead of held for
// ever. A raw socket plays the client.
#include <soa/client/Connection.hxx>
#include <soa/services/core/SessionService.hxx>

#include "tests/support/Doubles.hxx"
#include "tests/support/LoopbackPlmService.hxx"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <string>

namespace {

using Quillomark::Testing::LoopbackPlmService;

// What a peer reads before the service closes the connection, or "HUNG"
// when the service neither answers nor closes in a minute (the limit only
// ends a hang).
std::string sendAndReadToEnd(int port, const std::string& bytes) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return "no socket";
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    std::string seen;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        (!bytes.empty() && ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) !=
                               static_cast<ssize_t>(bytes.size()))) {
        seen = "no connection";
    }
    for (char chunk[4096]; seen != "no connection";) {
        pollfd ready{fd, POLLIN, 0};
        const int n = ::poll(&ready, 1, 60000);
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) {
            seen = "HUNG after: " + seen;
            break;
        }
        const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;  // closed (or reset after the reply)
        seen.append(chunk, static_cast<std::size_t>(got));
    }
    ::close(fd);
    return seen;
}

int portOf(const LoopbackPlmService& service) {
    const std::string path = service.hostPath();  // http://127.0.0.1:<port>/tc
    return std::stoi(path.substr(path.rfind(':') + 1));
}

TEST(LoopbackPeer, WhatIsNoHttpRequestIsRefusedWith400AndTheServiceGoesOn) {
    LoopbackPlmService service;
    const std::string garbage[] = {
        // An IIOP request (GIOP 1.2 header, then binary).
        std::string("GIOP\x01\x02\x01\x00\x00\x00\x00\x30\x00\x00\x00\x02", 16),
        "hello\r\n\r\n",
        "POST /tc/RestServices/Core-2006-03-Session/login\r\n\r\n",
        "POST /tc/RestServices/Core-2006-03-Session/login HTTP/1.1\r\nno colon here\r\n\r\n",
        "POST /tc/RestServices/Core-2006-03-Session/login HTTP/1.1\r\n"
        "Content-Length: 12x\r\n\r\n<a/>",
        "POST /tc HTTP/1.1\r\nContent-Length: 99999999999999999999999\r\n\r\n",
        std::string(100000, 'A'),  // a request line without end
    };
    for (const std::string& bytes : garbage) {
        SCOPED_TRACE(bytes.substr(0, 60));
        const std::string reply = sendAndReadToEnd(portOf(service), bytes);
        EXPECT_EQ(reply.rfind("HTTP/1.1 400 Bad Request\r\n", 0), 0u) << reply;
        EXPECT_NE(reply.find("\r\nConnection: close\r\n"), std::string::npos) << reply;
    }
    EXPECT_TRUE(service.requests().empty());

    // A client that speaks HTTP is served as before.
    Quillomark::Testing::RecordingCredentialManager credentials;
    Quillomark::Soa::Client::Connection connection(service.hostPath(), &credentials,
                                                   Quillomark::Soa::Client::Connection::HTTP,
                                                   Quillomark::Soa::Client::Connection::REST, true);
    Quillomark::Services::Core::SessionService::getService(&connection)
        ->login(LoopbackPlmService::USER, LoopbackPlmService::PASSWORD, "", "", "");
    EXPECT_EQ(service.requests().size(), 2u);  // the login and its user's type descriptions
}

TEST(LoopbackPeer, AConnectionThatStaysSilentIsClosed) {
    LoopbackPlmService service;
    service.setIdleLimit(std::chrono::milliseconds(50));
    EXPECT_EQ(sendAndReadToEnd(portOf(service), ""), "");
    EXPECT_EQ(sendAndReadToEnd(portOf(service),
                               "POST /tc/RestServices/Core-2006-03-Session/login HTTP/1.1\r\n"
                               "Content-Length: 100\r\n\r\n<loginInput"),
              "");
    EXPECT_EQ(sendAndReadToEnd(portOf(service), "POST /tc/RestServices/Core-2006-03-Ses"), "");
    EXPECT_TRUE(service.requests().empty());
}

}  // namespace

#include <soa/client/Connection.hxx>
#include <soa/client/RestSender.hxx>
#include <soa/client/RuntimeException.hxx>
#include <soa/client/SessionManager.hxx>
#include <soa/client/internal/GatewayOrb.hxx>
#include <soa/schemas/exceptions/SoaException.hxx>

#include "tests/support/GatewayServerProcess.hxx"
#include "tests/support/LoopbackHttpServer.hxx"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

using Quillomark::Schemas::Soa::_2006_03::Exceptions::SoaException;
using Quillomark::Soa::Client::Connection;
using Quillomark::Soa::Client::GatewayOrb;
using Quillomark::Soa::Client::RestSender;
using Quillomark::Soa::Client::RuntimeException;
using Quillomark::Soa::Client::SessionManager;
using Quillomark::Testing::GatewayServerProcess;
using Quillomark::Testing::HttpReply;
using Quillomark::Testing::LoopbackHttpServer;

RestSender* senderOf(Connection& connection) {
    return SessionManager::getSessionManager(&connection)->getRestSender();
}

// The reply to one request, or what went wrong.
std::string reply(Connection& connection, const std::string& service,
                  const std::string& operation) {
    std::string response;
    try {
        senderOf(connection)->send(service, operation, "<a/>", response);
    } catch (const SoaException& e) {
        return "SoaException: " + e.getMessage();
    } catch (const RuntimeException& e) {
        return "RuntimeException: " + e.getMessage();
    }
    return response;
}

// The path as a server that decodes percent-escapes reads it.
std::string percentDecoded(const std::string& path) {
    std::string decoded;
    for (std::size_t i = 0; i < path.size(); ++i) {
        if (path[i] == '%' && i + 2 < path.size()) {
            decoded += static_cast<char>(std::strtol(path.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else {
            decoded += path[i];
        }
    }
    return decoded;
}

// Both transports side by side: the gateway reads the names of a call in
// UTF-8, the code set in which a server is most likely to differ from the
// client's.
class RequestNamesTest : public ::testing::Test {
protected:
    void SetUp() override {
        gateway.start();
        overIiop.emplace(gateway.hostPath(), nullptr, Connection::IIOP, Connection::REST, false);
    }

    GatewayServerProcess gateway{"UTF-8"};
    LoopbackHttpServer http;
    Connection overHttp{http.url() + "/tc", nullptr, Connection::HTTP, Connection::REST, false};
    std::optional<Connection> overIiop;  // once the gateway has its port
};

// A name that either transport would change on the way, or that would reach
// another path (an empty name, a dot segment, a "/"), is refused on both
// before anything is sent: a NUL would cut it over IIOP, a byte above ASCII
// would arrive in another code set, a name of a megabyte would not fit into
// libcurl's request.
TEST_F(RequestNamesTest, ANameOneTransportCannotCarryAsItIsIsRefusedOnBoth) {
    const std::vector<std::string> refused = {"",
                                              ".",
                                              "..",
                                              "a/../../Admin/drop",
                                              "S/vc",
                                              "/",
                                              "op x",
                                              "op\n",
                                              "op\x7F",
                                              "op#part",
                                              "op?x=1",
                                              std::string("op\0x", 4),
                                              std::string(1, '\0'),
                                              "op\xC3\xA9",
                                              "\xE2\x82\xAC",
                                              "\xF0\x9F\x98\x80",
                                              "\xFF",
                                              std::string(1 << 20, 'x')};
    for (Connection* connection : {&overHttp, &*overIiop}) {
        for (const std::string& name : refused) {
            for (const auto& [service, operation] :
                 {std::pair<std::string, std::string>{name, "op"}, {"Svc", name}}) {
                try {
                    std::string response;
                    senderOf(*connection)->send(service, operation, "<a/>", response);
                    ADD_FAILURE() << "sent " << service << "/" << operation << ": " << response;
                } catch (const RuntimeException& e) {
                    EXPECT_EQ(e.getType(), RuntimeException::GENERAL_ERROR);
                    EXPECT_EQ(e.getMessage(),
                              name.size() > 4096
                                  ? "The service or operation name of " +
                                        std::to_string(name.size()) +
                                        " bytes cannot be sent: a name holds at most 4096 bytes"
                                  : "The service or operation name '" + name +
                                        "' cannot be sent as it is");
                } catch (const SoaException& e) {
                    ADD_FAILURE() << service << "/" << operation << ": " << e.getMessage();
                }
            }
        }
    }
    EXPECT_TRUE(http.requests().empty());
    EXPECT_EQ(GatewayOrb::shares(), 0) << "the IIOP sender contacted the gateway";
    std::string calls;
    senderOf(*overIiop)->send("Svc", "calls", "", calls);
    EXPECT_EQ(calls, "0");
}

// Every other name, up to 4096 bytes, arrives exactly as it was sent: over
// HTTP as a strict server reads the path after decoding it (what a path may
// not hold unescaped, "%" included, travels escaped), and over IIOP.
TEST_F(RequestNamesTest, EveryOtherNameArrivesAsItIsOnBoth) {
    std::string printable;
    for (char c = '!'; c < '\x7F'; ++c) {
        if (c != '#' && c != '?' && c != '/') printable += c;
    }
    const std::vector<std::string> names = {
        "Core-2006-03-Session", "op%3Fx=1", "%", "%25", "%2e%2e", "...", "..a", ".x", printable,
        std::string(4096, '{')};
    for (const std::string& name : names) {
        for (const auto& [service, operation] :
             {std::pair<std::string, std::string>{name, "op"}, {"Svc", name}}) {
            http.push(HttpReply::ok("<ok/>"));
            EXPECT_EQ(reply(overHttp, service, operation), "<ok/>");
            ASSERT_FALSE(http.requests().empty());
            EXPECT_EQ(percentDecoded(http.requests().back().target),
                      "/tc/RestServices/" + service + "/" + operation)
                << http.requests().back().target;

            EXPECT_EQ(reply(*overIiop, service, operation), service + "|" + operation + "|<a/>");
        }
    }
}

}  // namespace

#include <soa/client/Connection.hxx>
#include <soa/client/HttpRestSender.hxx>
#include <soa/client/SessionManager.hxx>
#include <soa/schemas/exceptions/ConnectionException.hxx>
#include <soa/schemas/exceptions/ProtocolException.hxx>

#include "tests/http/CurlSeam.hxx"
#include "tests/support/LoopbackHttpServer.hxx"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <chrono>

namespace {

namespace Ex = Quillomark::Schemas::Soa::_2006_03::Exceptions;
namespace Seam = Quillomark::Testing::CurlSeam;
using Quillomark::Soa::Client::Connection;
using Quillomark::Soa::Client::HttpRestSender;
using Quillomark::Soa::Client::RestSender;
using Quillomark::Soa::Client::SessionManager;
using Quillomark::Testing::HttpReply;
using Quillomark::Testing::LoopbackHttpServer;

RestSender* senderOf(Connection& connection) {
    return SessionManager::getSessionManager(&connection)->getRestSender();
}

std::string post(Connection& connection, const std::string& request,
                 const std::string& service = "Svc", const std::string& operation = "op") {
    std::string response;
    senderOf(connection)->send(service, operation, request, response);
    return response;
}

class HttpRestSenderTest : public ::testing::Test {
protected:
    LoopbackHttpServer server;
    Connection connection{server.url() + "/tc", nullptr, Connection::HTTP, Connection::REST, true};
};

TEST_F(HttpRestSenderTest, PostsLargeBodiesWholeToTheServiceUrlWithoutWaitingForContinue) {
    // Above 1 MiB libcurl would ask for "100 Continue" unless told otherwise;
    // the NUL byte inside must not cut the body short.
    std::string body = "<big>" + std::string(1024 * 1024 + 17, 'x') + "</big>";
    body[100] = '\0';
    server.push(HttpReply::ok("<ok/>"));
    EXPECT_EQ(post(connection, body, "Core-2006-03-Session", "login"), "<ok/>");

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].requestLine, "POST /tc/RestServices/Core-2006-03-Session/login HTTP/1.1");
    EXPECT_FALSE(requests[0].header("Expect").has_value());
    EXPECT_EQ(requests[0].body, body);
    EXPECT_FALSE(requests[0].header("Proxy-Authorization").has_value());
}

TEST_F(HttpRestSenderTest, StatusesFromTheServer) {
    server.push(HttpReply::withStatus(401, "<fault401/>"));
    server.push(HttpReply::withStatus(500, "<fault500/>"));
    EXPECT_EQ(post(connection, "<a/>"), "<fault401/>");
    EXPECT_EQ(post(connection, "<a/>"), "<fault500/>");

    for (int status : {302, 404}) {
        HttpReply reply = HttpReply::withStatus(status, "moved or missing");
        reply.headers.push_back("Location: " + server.url() + "/elsewhere");
        server.push(reply);
        try {
            post(connection, "<a/>");
            FAIL() << status << " accepted";
        } catch (const Ex::ProtocolException& e) {
            EXPECT_EQ(e.getMessage(), "Unexpected http response: \nmoved or missing");
        }
    }
    EXPECT_EQ(server.requests().size(), 4u);  // redirects are not followed
}

TEST_F(HttpRestSenderTest, NoStatusIsAConnectionFailure) {
    const std::string expected = "Failed to connect to the server: " + server.url() + "/tc";
    const auto expectConnectionFailure = [&] {
        try {
            post(connection, "<a/>");
            FAIL() << "no exception";
        } catch (const Ex::ConnectionException& e) {
            EXPECT_EQ(e.getMessage(), expected);
        }
    };
    // A closed connection, then a reply later than the time-out, each after
    // a request that got its status on the same handle. (libcurl tries once
    // more on a fresh connection when a kept-alive one closes unanswered.)
    server.push(HttpReply::ok("<first/>"));
    server.script().setFallback(HttpReply::closing());
    EXPECT_EQ(post(connection, "<a/>"), "<first/>");
    expectConnectionFailure();

    connection.setOption(Connection::TIMEOUT, "1");
    server.push(HttpReply::ok("<second/>"));
    HttpReply late = HttpReply::ok("<late/>");
    late.delay = std::chrono::milliseconds(2500);
    server.push(late);
    EXPECT_EQ(post(connection, "<a/>"), "<second/>");
    expectConnectionFailure();
}

// A transfer that fails after the status is no reply, even when what
// arrived happens to be a whole document: the connection closed before the
// announced length, a chunk size that is no number, the time-out.
TEST_F(HttpRestSenderTest, AReplyCutShortAfterTheStatusIsAProtocolFailure) {
    connection.setOption(Connection::TIMEOUT, "1");
    const struct {
        HttpReply::Ending ending;
        int status;
        const char* why;
    } cuts[] = {{HttpReply::Ending::Cut, 200, "transfer closed with 1 bytes remaining"},
                {HttpReply::Ending::BadChunk, 500, "chunk"},
                {HttpReply::Ending::Stall, 401, "timed out"}};
    for (const auto& cut : cuts) {
        HttpReply reply = HttpReply::withStatus(cut.status, "<ok>first part</ok>");
        reply.ending = cut.ending;
        server.push(reply);
        try {
            post(connection, "<a/>");
            FAIL() << cut.why << ": taken for a reply";
        } catch (const Ex::ProtocolException& e) {
            EXPECT_EQ(e.getMessage().rfind("The reply was cut short: ", 0), 0u) << e.getMessage();
            EXPECT_NE(e.getMessage().find(cut.why), std::string::npos) << e.getMessage();
        }
    }
    server.push(HttpReply::ok("<whole/>"));
    EXPECT_EQ(post(connection, "<a/>"), "<whole/>");
}

TEST(HttpRestSenderRefusedTest, ARefusedPortIsAConnectionFailure) {
    const std::string host =
        "http://127.0.0.1:" + std::to_string(Quillomark::Testing::unusedLoopbackPort());
    Connection connection(host, nullptr, Connection::HTTP, Connection::REST, false);
    try {
        post(connection, "<a/>");
        FAIL() << "no exception";
    } catch (const Ex::ConnectionException& e) {
        EXPECT_EQ(e.getMessage(), "Failed to connect to the server: " + host);
    }
}

TEST_F(HttpRestSenderTest, CookiesStayWithTheirSender) {
    HttpReply first = HttpReply::ok("<one/>");
    first.headers.push_back("Set-Cookie: session=abc; Path=/");
    server.push(first);
    post(connection, "<a/>");
    post(connection, "<b/>");

    Connection other(server.url() + "/tc", nullptr, Connection::HTTP, Connection::REST, true);
    post(other, "<c/>");

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_FALSE(requests[0].header("Cookie").has_value());
    EXPECT_EQ(requests[1].header("Cookie").value_or(""), "session=abc");
    EXPECT_FALSE(requests[2].header("Cookie").has_value());
}

TEST_F(HttpRestSenderTest, ProxyFollowsTheCurrentOptions) {
    // The host name does not resolve: only the proxy can carry the request.
    Connection proxied("http://qmsoa-test.invalid/tc", nullptr, Connection::HTTP, Connection::REST,
                       true);
    proxied.setOption(Connection::PROXY_HOST, server.url());
    proxied.setOption(Connection::PROXY_USER, "u");
    post(proxied, "<a/>");
    proxied.setOption(Connection::PROXY_PASSWORD, "p");
    post(proxied, "<b/>");
    proxied.setOption(Connection::PROXY_PASSWORD, "");
    post(proxied, "<c/>");

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].target, "http://qmsoa-test.invalid/tc/RestServices/Svc/op");
    EXPECT_FALSE(requests[0].header("Proxy-Authorization").has_value());
    EXPECT_EQ(requests[1].header("Proxy-Authorization").value_or(""), "Basic dTpw");  // "u:p"
    EXPECT_FALSE(requests[2].header("Proxy-Authorization").has_value());

    // A cleared proxy is no longer used.
    proxied.setOption(Connection::PROXY_HOST, "");
    EXPECT_THROW(post(proxied, "<d/>"), Ex::ConnectionException);
    EXPECT_EQ(server.requests().size(), 3u);
}

TEST_F(HttpRestSenderTest, TimeOutAndCertificateCheckAreSetOnEveryRequest) {
    Seam::clearSettings();
    post(connection, "<fresh/>");
    EXPECT_EQ(Seam::lastValue(CURLOPT_TIMEOUT), 0);
    EXPECT_EQ(Seam::lastValue(CURLOPT_SSL_VERIFYPEER), 1);

    connection.setOption(Connection::TIMEOUT, "30");
    connection.setOption(Connection::SSL_VERIFY_PEER, "false");
    post(connection, "<off/>");
    EXPECT_EQ(Seam::lastValue(CURLOPT_TIMEOUT), 30);
    EXPECT_EQ(Seam::lastValue(CURLOPT_SSL_VERIFYPEER), 0);

    // Only "false" itself turns the check off, and turning it on again holds.
    for (const char* value : {"False", "true"}) {
        Seam::clearSettings();
        connection.setOption(Connection::SSL_VERIFY_PEER, value);
        post(connection, "<on/>");
        EXPECT_EQ(Seam::lastValue(CURLOPT_SSL_VERIFYPEER), 1) << value;
    }
}

TEST(HttpRestSenderMakingTest, OneSenderPerSessionAndAFailedHandleLeavesNone) {
    Connection connection("http://127.0.0.1:1/tc", nullptr, static_cast<Connection::Protocol>(7),
                          Connection::REST, true);
    SessionManager* session = SessionManager::getSessionManager(&connection);
    Seam::failNextInit();
    try {
        session->getRestSender();
        FAIL() << "made a sender without a handle";
    } catch (const Ex::ProtocolException& e) {
        EXPECT_EQ(e.getMessage(), "Could not initialize libcurl.");
    }
    RestSender* sender = session->getRestSender();
    EXPECT_NE(dynamic_cast<HttpRestSender*>(sender), nullptr);
    EXPECT_EQ(session->getRestSender(), sender);
}

TEST(HttpRestSenderMakingTest, WriteCallbackAppendsToItsTarget) {
    std::string target = "a";
    EXPECT_EQ(HttpRestSender::writeCallback("bcdef", 2, 2, &target), 4u);
    EXPECT_EQ(target, "abcde");
    EXPECT_EQ(HttpRestSender::writeCallback("bcdef", 2, 2, nullptr), 0u);
}

}  // namespace

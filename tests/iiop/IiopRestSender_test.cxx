#include <soa/client/Connection.hxx>
#include <soa/client/IiopRestSender.hxx>
#include <soa/client/SessionManager.hxx>
#include <soa/client/internal/GatewayOrb.hxx>
#include <soa/schemas/exceptions/ConnectionException.hxx>
#include <soa/schemas/exceptions/ProtocolException.hxx>

#include "tests/support/GatewayServerProcess.hxx"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

using Quillomark::Schemas::Soa::_2006_03::Exceptions::ConnectionException;
using Quillomark::Schemas::Soa::_2006_03::Exceptions::ProtocolException;
using Quillomark::Soa::Client::Connection;
using Quillomark::Soa::Client::GatewayOrb;
using Quillomark::Soa::Client::IiopRestSender;
using Quillomark::Soa::Client::RestSender;
using Quillomark::Soa::Client::SessionManager;
using Quillomark::Testing::GatewayServerProcess;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// A session for a host path, and senders made on it.
struct Session {
    explicit Session(const std::string& hostPath)
        : connection(hostPath, nullptr, Connection::IIOP, Connection::REST, false) {}
    std::unique_ptr<IiopRestSender> newSender() {
        return std::make_unique<IiopRestSender>(SessionManager::getSessionManager(&connection));
    }
    Connection connection;
};

std::string sendOnce(RestSender& sender, const std::string& operation, const std::string& request,
                     const std::string& service = "Core-2006-03-Session") {
    std::string response;
    sender.send(service, operation, request, response);
    return response;
}

template <typename Exception>
std::string failureOf(RestSender& sender, const std::string& operation = "ping") {
    try {
        sendOnce(sender, operation, "");
    } catch (const Exception& e) {
        return e.getMessage();
    }
    ADD_FAILURE() << "no exception of the expected kind";
    return "";
}

std::string connectFailure(const std::string& address) {
    return "Could not connect to \"" + address + "\" via IIOP\n";
}

class IiopSenderTest : public ::testing::Test {
protected:
    void SetUp() override { server.start(); }
    GatewayServerProcess server;
};

TEST_F(IiopSenderTest, PrefixesTheHostPathUnlessItBeginsWithCorbaloc) {
    // Already prefixed: used as it is.
    Session prefixed("corbaloc:" + server.hostPath());
    EXPECT_EQ(sendOnce(*prefixed.newSender(), "op", "x"), "Core-2006-03-Session|op|x");

    // The test is case-sensitive, and only position 0 counts.
    Session capitals("CORBALOC:x");
    EXPECT_THAT(failureOf<ConnectionException>(*capitals.newSender()),
                StartsWith(connectFailure("corbaloc:CORBALOC:x") + "IDL:omg.org/CORBA/BAD_PARAM:1.0"));
    const std::string further = "iiop:127.0.0.1:1/corbaloc:x";
    Session later(further);
    EXPECT_THAT(failureOf<ConnectionException>(*later.newSender()),
                StartsWith(connectFailure("corbaloc:" + further)));
}

TEST_F(IiopSenderTest, CarriesServiceOperationAndEveryByte) {
    Session session(server.hostPath());
    auto sender = session.newSender();
    EXPECT_EQ(GatewayOrb::shares(), 0) << "constructing contacts nothing";

    const std::string bytes("<a>\xC3\xA9\0b</a>\0", 12);
    EXPECT_EQ(sendOnce(*sender, "login", bytes, "Core-2006-03-Session"),
              "Core-2006-03-Session|login|" + bytes);
    EXPECT_EQ(GatewayOrb::shares(), 1);

    // An empty request goes out as an empty sequence; an empty reply
    // replaces whatever the response held.
    EXPECT_EQ(sendOnce(*sender, "op", "", "S"), "S|op|");
    std::string response = "stale";
    sender->send("S", "echo", "", response);
    EXPECT_EQ(response, "");

    // Bigger than the ORB's default message limit of 2 MiB.
    const std::string big = sendOnce(*sender, "sized", std::to_string(3 * 1024 * 1024));
    ASSERT_EQ(big.size(), 3u * 1024 * 1024);
    for (std::size_t i : {std::size_t{0}, std::size_t{251}, big.size() - 1}) {
        EXPECT_EQ(static_cast<unsigned char>(big[i]), i % 251);
    }
    const std::string echoed = sendOnce(*sender, "echo", big);
    EXPECT_TRUE(echoed == big);

    sender.reset();
    EXPECT_EQ(GatewayOrb::shares(), 0);
}

TEST_F(IiopSenderTest, UnreachableGatewaysAreConnectFailuresAndConnectIsRetried) {
    // A wrong object key: the server does not know the object.
    Session wrongKey(server.hostPath("NoSuchKey"));
    EXPECT_THAT(failureOf<ConnectionException>(*wrongKey.newSender()),
                StartsWith(connectFailure("corbaloc:" + server.hostPath("NoSuchKey")) +
                           "IDL:omg.org/CORBA/OBJECT_NOT_EXIST:1.0 (minor 0x"));

    // An object that is not a gateway narrows to nil; no call goes through it.
    Session notGateway(server.hostPath("NotAGateway"));
    auto sender = notGateway.newSender();
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(failureOf<ConnectionException>(*sender),
                  connectFailure("corbaloc:" + server.hostPath("NotAGateway")) +
                      "the object is not a QmCorbaServiceGateway");
    }
    EXPECT_EQ(GatewayOrb::shares(), 0);

    // A refused port; once the server is there, the next send connects.
    Session session(server.hostPath());
    auto refused = session.newSender();
    server.stop();
    EXPECT_THAT(failureOf<ConnectionException>(*refused),
                StartsWith(connectFailure("corbaloc:" + server.hostPath()) +
                           "IDL:omg.org/CORBA/TRANSIENT:1.0"));
    server.start();
    EXPECT_EQ(sendOnce(*refused, "op", "again"), "Core-2006-03-Session|op|again");
}

TEST_F(IiopSenderTest, CallFailuresKeepTheConnection) {
    Session session(server.hostPath());
    auto sender = session.newSender();
    sendOnce(*sender, "op", "first");
    EXPECT_EQ(failureOf<ProtocolException>(*sender, "raise"),
              "Error making call via IIOP.\n"
              "IDL:omg.org/CORBA/NO_IMPLEMENT:1.0 (minor 0x2a, completed YES)");
    EXPECT_EQ(sendOnce(*sender, "op", "after"), "Core-2006-03-Session|op|after");

    // The server goes away and comes back on the same port: the same
    // reference works again.
    server.stop();
    EXPECT_THAT(failureOf<ProtocolException>(*sender), StartsWith("Error making call via IIOP.\n"));
    server.start();
    EXPECT_EQ(sendOnce(*sender, "op", "restarted"), "Core-2006-03-Session|op|restarted");
}

TEST_F(IiopSenderTest, DestroyingOneSenderLeavesTheOthersWorking) {
    Session first(server.hostPath());
    Session second(server.hostPath());
    auto a = first.newSender();
    auto b = second.newSender();
    sendOnce(*a, "op", "a");
    sendOnce(*b, "op", "b");
    EXPECT_EQ(GatewayOrb::shares(), 2);
    a.reset();
    EXPECT_EQ(sendOnce(*b, "op", "still"), "Core-2006-03-Session|op|still");
    // A sender made afterwards joins the same ORB.
    auto c = first.newSender();
    EXPECT_EQ(sendOnce(*c, "op", "c"), "Core-2006-03-Session|op|c");
    b.reset();
    c.reset();
    EXPECT_EQ(GatewayOrb::shares(), 0);
}

TEST_F(IiopSenderTest, ReconnectsAfterTheObjectIsGone) {
    Session session(server.hostPath());
    auto sender = session.newSender();

    // The server drops the object: the call fails, and the next send
    // connects anew (and finds the object missing).
    sendOnce(*sender, "deactivate", "");
    EXPECT_THAT(failureOf<ProtocolException>(*sender),
                HasSubstr("IDL:omg.org/CORBA/OBJECT_NOT_EXIST:1.0"));
    EXPECT_EQ(GatewayOrb::shares(), 0);
    EXPECT_THAT(failureOf<ConnectionException>(*sender),
                HasSubstr("IDL:omg.org/CORBA/OBJECT_NOT_EXIST:1.0"));
}

TEST(CorbaExceptionTextTest, NamesTheExceptionItsMinorCodeAndCompletion) {
    EXPECT_EQ(Quillomark::Soa::Client::describeCorbaException(
                  CORBA::TRANSIENT(omni::TRANSIENT_ConnectFailed, CORBA::COMPLETED_NO)),
              "IDL:omg.org/CORBA/TRANSIENT:1.0 (minor 0x41540002 TRANSIENT_ConnectFailed, "
              "completed NO)");
    EXPECT_EQ(Quillomark::Soa::Client::describeCorbaException(CORBA::ORB::InvalidName()),
              "IDL:omg.org/CORBA/ORB/InvalidName:1.0");
}

}  // namespace

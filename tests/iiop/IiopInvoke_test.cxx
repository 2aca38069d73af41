#include <soa/client/Connection.hxx>
#include <soa/client/RestSender.hxx>
#include <soa/client/SessionManager.hxx>
#include <soa/common/SAXToNodeParser.hxx>
#include <soa/schemas/exceptions/InvalidCredentialsException.hxx>

#include "tests/support/Doubles.hxx"
#include "tests/support/GatewayServerProcess.hxx"

#include <gtest/gtest.h>

#include <omniORB4/CORBA.h>

#include <string>

namespace {

using Quillomark::Schemas::Soa::_2006_03::Exceptions::InvalidCredentialsException;
using Quillomark::Soa::Client::Connection;
using Quillomark::Soa::Client::RestSender;
using Quillomark::Soa::Client::SessionManager;
using Quillomark::Soa::Common::Xml::SAXToNodeParser;
using Quillomark::Testing::CountingExceptionHandler;
using Quillomark::Testing::GatewayServerProcess;

// The echo operation of the test server answers with the request itself,
// so a request document chooses its own reply.
const char ECHO[] = "echo";

class IiopInvokeTest : public ::testing::Test {
protected:
    void SetUp() override { server.start(); }
    RestSender* senderOf(Connection& connection) {
        return SessionManager::getSessionManager(&connection)->getRestSender();
    }
    GatewayServerProcess server;
};

TEST_F(IiopInvokeTest, RepliesAreParsedAndFaultRepliesMapped) {
    Connection connection(server.hostPath(), nullptr, Connection::IIOP, Connection::REST, false);
    RestSender* sender = senderOf(connection);
    SAXToNodeParser parser;
    sender->invoke("Core-2006-03-Session", ECHO, "<reply a=\"\xC3\xA9\"/>", parser);
    EXPECT_EQ(parser.getRoot().getName(), "reply");

    const std::string fault =
        "<InvalidCredentialsException "
        "xmlns=\"http://quillomark.com/Schemas/Soa/2006-03/Exceptions\" message=\"refused\"/>";
    try {
        sender->invoke("Core-2006-03-Session", ECHO, fault, parser);
        FAIL() << "no exception";
    } catch (const InvalidCredentialsException& e) {
        EXPECT_EQ(e.getMessage(), "refused");
    }
}

TEST_F(IiopInvokeTest, AHandlerThatReturnsOutlivesADestroyedOrb) {
    Connection connection(server.hostPath(), nullptr, Connection::IIOP, Connection::REST, false);
    CountingExceptionHandler handler;
    handler.returnsLeft = 1;
    connection.setExceptionHandler(&handler);
    SAXToNodeParser parser;
    RestSender* sender = senderOf(connection);
    sender->invoke("S", ECHO, "<first/>", parser);

    int argc = 0;
    CORBA::ORB_var orb = CORBA::ORB_init(argc, nullptr, "");
    orb->destroy();
    // The one failure reaches the handler, which returns: the repeat
    // connects to a new ORB instead of failing for good.
    sender->invoke("S", ECHO, "<second/>", parser);
    EXPECT_EQ(handler.internalCalls, 1);
    EXPECT_EQ(parser.getRoot().getName(), "second");
}

}  // namespace

#include <soa/client/CanceledOperationException.hxx>
#include <soa/client/Connection.hxx>
#include <soa/client/RuntimeException.hxx>
#include <soa/client/SessionManager.hxx>
#include <soa/common/SAXToNodeParser.hxx>
#include <soa/schemas/exceptions/InvalidCredentialsException.hxx>
#include <soa/schemas/exceptions/InvalidUserException.hxx>
#include <soa/schemas/exceptions/ServiceException.hxx>

#include "tests/support/Doubles.hxx"
#include "tests/support/FakeSessionServices.hxx"
#include "tests/support/ScriptedSender.hxx"

#include <gtest/gtest.h>

namespace {

namespace Ex = Quillomark::Schemas::Soa::_2006_03::Exceptions;
using Quillomark::Soa::Client::CanceledOperationException;
using Quillomark::Soa::Client::Connection;
using Quillomark::Soa::Client::RuntimeException;
using Quillomark::Soa::Client::SessionManager;
using Quillomark::Testing::CountingExceptionHandler;
using Quillomark::Testing::FakeCoreSessionService;
using Quillomark::Testing::RecordingCredentialManager;

class ReloginTest : public ::testing::Test {
protected:
    RecordingCredentialManager credentials;
    Connection connection{"http://127.0.0.1:1/tc", &credentials, Connection::HTTP, Connection::REST,
                          true};
    SessionManager* session = SessionManager::getSessionManager(&connection);
    FakeCoreSessionService* service = FakeCoreSessionService::install(connection);
};

TEST_F(ReloginTest, TheCredentialTypeChoosesTheLoginOperation) {
    for (int type : {0, 1, 2}) {
        credentials.credentialType = type;
        service->calls.clear();
        Ex::InvalidUserException gone("gone");
        session->login(gone);
        ASSERT_EQ(service->calls.size(), 2u);
        EXPECT_EQ(service->calls[0], std::string(type == 1 ? "loginSSO" : "login") +
                                         "(user,password,group,role,discriminator)");
        EXPECT_EQ(service->calls[1], "setObjectPropertyPolicy(Default)");
    }
}

TEST_F(ReloginTest, ManyRefusalsDoNotGrowTheStack) {
    long refusals = 100000;
    service->behaviour = [&](const std::string& call) {
        if (call.rfind("login(", 0) == 0 && refusals-- > 0) {
            throw Ex::InvalidCredentialsException("refused");
        }
    };
    Ex::InvalidCredentialsException refused("refused");
    session->login(refused);
    EXPECT_EQ(credentials.calls.size(), 100001u);
}

TEST_F(ReloginTest, CausesThatCredentialsCannotRepairCancelWithoutAsking) {
    Ex::ServiceException other("not a session fault");
    try {
        session->login(other);
        FAIL() << "returned";
    } catch (const CanceledOperationException& e) {
        EXPECT_EQ(e.getMessage(), "not a session fault");
    }
    EXPECT_TRUE(credentials.calls.empty());
    EXPECT_TRUE(service->calls.empty());
}

TEST(ReloginWithoutCredentialManagerTest, CancelsWithTheCauseAndReachesTheHandler) {
    Connection connection("http://127.0.0.1:1/tc", nullptr, Connection::HTTP, Connection::REST,
                          true);
    SessionManager* session = SessionManager::getSessionManager(&connection);
    FakeCoreSessionService* service = FakeCoreSessionService::install(connection);
    CountingExceptionHandler handler;
    handler.returnsLeft = 1;
    connection.setExceptionHandler(&handler);

    int faults = 1;
    Quillomark::Testing::ScriptedSender sender(
        session,
        [&](const std::string&, const std::string&, const std::string&, std::string& reply) {
            if (faults-- > 0) throw Ex::InvalidUserException("session gone");
            reply = "<ok/>";
        });
    Quillomark::Soa::Common::Xml::SAXToNodeParser parser;
    sender.invoke("Svc", "op", "<request/>", parser);
    EXPECT_EQ(handler.canceledCalls, 1);
    EXPECT_EQ(handler.messages, std::vector<std::string>{"session gone"});
    EXPECT_TRUE(service->calls.empty());
    EXPECT_EQ(sender.sends, 2);
}

}  // namespace

#include <soa/client/Connection.hxx>
#include <soa/client/DefaultExceptionHandler.hxx>
#include <soa/client/RuntimeException.hxx>
#include <soa/client/ServiceStub.hxx>
#include <soa/client/SessionManager.hxx>

#include "tests/support/Doubles.hxx"
#include "tests/support/FailingAllocations.hxx"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Quillomark::Soa::Client::Connection;
using Quillomark::Soa::Client::RuntimeException;
using Quillomark::Soa::Client::ServiceStub;
using Quillomark::Soa::Client::SessionManager;
using Quillomark::Testing::RecordingCredentialManager;
namespace Failing = Quillomark::Testing::FailingAllocations;

Connection makeConnection(RecordingCredentialManager* cm = nullptr, bool flag = true) {
    return Connection("http://localhost/tc", cm, Connection::HTTP, Connection::REST, flag);
}

// A stub that tells when it is destroyed.
struct TrackedStub : ServiceStub {
    explicit TrackedStub(std::vector<std::string>& log, std::string name)
        : log(log), name(std::move(name)) {}
    ~TrackedStub() override { log.push_back(name); }
    std::vector<std::string>& log;
    std::string name;
};

TEST(ConnectionTest, RefusesEveryBindingButRest) {
    try {
        Connection c("h", nullptr, Connection::HTTP, static_cast<Connection::Binding>(1), false);
        FAIL() << "constructed";
    } catch (const RuntimeException& e) {
        EXPECT_EQ(e.getType(), RuntimeException::NOT_IMPLEMENTED);
        EXPECT_EQ(e.getMessage(), "Only REST bindings  implemented at this time");
    }
}

TEST(ConnectionTest, PresetsOptionsAndReplacesThem) {
    for (bool flag : {true, false}) {
        Connection c("http://host/tc", nullptr, Connection::HTTP, Connection::REST, flag);
        SessionManager* sm = SessionManager::getSessionManager(&c);
        EXPECT_EQ(sm->getOption(Connection::TIMEOUT), "0");
        EXPECT_EQ(sm->getOption(Connection::CRYPTO_MODE), "Domestic");
        EXPECT_EQ(sm->getOption(Connection::SSL_VERIFY_PEER), "true");
        EXPECT_EQ(sm->getOption(Connection::CONSTRUCTOR_FLAG), flag ? "true" : "false");
        EXPECT_EQ(sm->getOption(Connection::PROXY_HOST), "");
        c.setOption(Connection::TIMEOUT, "30");
        c.setOption(Connection::TIMEOUT, "45");
        EXPECT_EQ(sm->getOption(Connection::TIMEOUT), "45");
        EXPECT_EQ(c.getHostPath(), "http://host/tc");
        EXPECT_EQ(c.getProtocol(), Connection::HTTP);
        EXPECT_EQ(c.getBinding(), Connection::REST);
        EXPECT_NE(c.getModelManager(), nullptr);
    }
}

TEST(ConnectionTest, PolicyChangesKeepThePreviousName) {
    RecordingCredentialManager cm;
    Connection c = makeConnection(&cm);
    SessionManager* sm = SessionManager::getSessionManager(&c);
    EXPECT_EQ(c.getCurrentObjectPropertyPolicy(), "Default");
    EXPECT_EQ(c.getPreviousObjectPropertyPolicy(), "Default");
    sm->setCurrentPolicy("A");
    EXPECT_EQ(c.getCurrentObjectPropertyPolicy(), "A");
    EXPECT_EQ(c.getPreviousObjectPropertyPolicy(), "Default");
    sm->setCurrentPolicy("A");
    EXPECT_EQ(c.getPreviousObjectPropertyPolicy(), "Default");
    sm->setCurrentPolicy("B");
    EXPECT_EQ(c.getCurrentObjectPropertyPolicy(), "B");
    EXPECT_EQ(c.getPreviousObjectPropertyPolicy(), "A");
    EXPECT_EQ(c.getCredentialManager(), &cm);
}

TEST(ConnectionTest, DefaultHandlerIsSharedAndReplaceablePerConnection) {
    Connection a = makeConnection();
    Connection b = makeConnection();
    ASSERT_NE(a.getExceptionHandler(), nullptr);
    EXPECT_EQ(a.getExceptionHandler(), b.getExceptionHandler());
    EXPECT_NE(
        dynamic_cast<Quillomark::Soa::Client::DefaultExceptionHandler*>(a.getExceptionHandler()),
        nullptr);
    Quillomark::Testing::CountingExceptionHandler mine;
    a.setExceptionHandler(&mine);
    EXPECT_EQ(a.getExceptionHandler(), &mine);
    EXPECT_NE(b.getExceptionHandler(), &mine);
}

// The connection's end needs no memory.
TEST(SessionManagerTest, RegistryOwnsStubsAndDeletesEachOnce) {
    std::vector<std::string> destroyed;
    destroyed.reserve(2);
    auto* first = new TrackedStub(destroyed, "first");
    auto* second = new TrackedStub(destroyed, "second");
    auto* shared = new TrackedStub(destroyed, "shared");
    {
        Connection c = makeConnection();
        SessionManager* sm = SessionManager::getSessionManager(&c);
        EXPECT_EQ(sm->getService("Core"), nullptr);
        sm->registerService("Core", first);
        sm->registerService("Core", second);  // replaces `first`, which stays the caller's
        EXPECT_EQ(sm->getService("Core"), second);
        sm->registerService("A", shared);
        sm->registerService("B", shared);  // one stub under two names
        sm->registerService("Null", nullptr);
        EXPECT_EQ(sm->getService("Missing"), nullptr);
        Failing::failOnce = false;
        Failing::failAfter = 0;
    }
    Failing::failAfter = -1;
    EXPECT_EQ(destroyed, (std::vector<std::string>{"shared", "second"}));
    delete first;
}

TEST(SessionManagerTest, LoginDataReachTheCredentialManagerAndANullOneIsSkipped) {
    RecordingCredentialManager cm;
    Connection c = makeConnection(&cm);
    SessionManager* sm = SessionManager::getSessionManager(&c);
    sm->setUserPassword("u", "p", "d");
    sm->setGroupRole("g", "r");
    EXPECT_EQ(cm.calls, (std::vector<std::string>{"setUserPassword(u,p,d)", "setGroupRole(g,r)"}));

    Connection without = makeConnection(nullptr);
    SessionManager* bare = SessionManager::getSessionManager(&without);
    bare->setUserPassword("u", "p", "d");
    bare->setGroupRole("g", "r");
}

TEST(CredentialManagerTest, IgnoresLoginDataByDefault) {
    struct Minimal : Quillomark::Soa::Client::CredentialManager {
        int getCredentialType() override { return 0; }
        Credentials getCredentials(
            Quillomark::Schemas::Soa::_2006_03::Exceptions::InvalidUserException) override {
            return Credentials("u", "p", "g", "r", "d");
        }
        Credentials getCredentials(
            Quillomark::Schemas::Soa::_2006_03::Exceptions::InvalidCredentialsException) override {
            return Credentials("u", "p", "g", "r", "d");
        }
    } minimal;
    minimal.setUserPassword("u", "p", "d");
    minimal.setGroupRole("g", "r");
    auto creds = minimal.getCredentials(
        Quillomark::Schemas::Soa::_2006_03::Exceptions::InvalidUserException("gone"));
    EXPECT_EQ(creds.user, "u");
    EXPECT_EQ(creds.password, "p");
    EXPECT_EQ(creds.group, "g");
    EXPECT_EQ(creds.role, "r");
    EXPECT_EQ(creds.discriminator, "d");
}

}  // namespace

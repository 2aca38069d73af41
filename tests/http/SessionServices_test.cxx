#include <platform/corestrong/internal/SessionServiceStubs.hxx>
#include <soa/client/Connection.hxx>
#include <soa/client/RuntimeException.hxx>
#include <soa/client/SessionManager.hxx>
#include <soa/services/core/SessionService.hxx>
#include <soa/services/internal/core/SessionService.hxx>

#include "tests/support/LoopbackHttpServer.hxx"

#include <gtest/gtest.h>

namespace {

namespace CoreStrong = Quillomark::Platform::CoreStrong;
using Quillomark::Soa::Client::Connection;
using Quillomark::Soa::Client::RuntimeException;
using Quillomark::Soa::Client::SessionManager;
using Quillomark::Testing::HttpReply;
using Quillomark::Testing::LoopbackHttpServer;
using CoreService = Quillomark::Services::Core::SessionService;
using InternalService = Quillomark::Services::Internal::Core::SessionService;

class SessionServicesTest : public ::testing::Test {
protected:
    LoopbackHttpServer server;
    Connection connection{server.url(), nullptr, Connection::HTTP, Connection::REST, true};
};

TEST_F(SessionServicesTest, EachConnectionKeepsItsOwnStubsInItsRegistry) {
    CoreService* core = CoreService::getService(&connection);
    InternalService* internal = InternalService::getService(&connection);
    EXPECT_EQ(CoreService::getService(&connection), core);
    EXPECT_EQ(InternalService::getService(&connection), internal);

    SessionManager* session = SessionManager::getSessionManager(&connection);
    EXPECT_EQ(dynamic_cast<CoreService*>(session->getService(CoreStrong::CORE_SESSION_STUB_NAME)),
              core);
    EXPECT_EQ(
        dynamic_cast<InternalService*>(session->getService(CoreStrong::INTERNAL_SESSION_STUB_NAME)),
        internal);

    Connection other(server.url(), nullptr, Connection::HTTP, Connection::REST, true);
    EXPECT_NE(CoreService::getService(&other), core);
}

TEST_F(SessionServicesTest, TypeDescriptionsAreAskedForInSortedOrder) {
    server.push(HttpReply::ok("<modelSchema/>"));
    InternalService::getService(&connection)->getTypeDescriptions({"Item", "A&B", "Folder"});
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].target, "/RestServices/Internal-Core-2006-03-Types/getTypeDescriptions");
    EXPECT_EQ(requests[0].body,
              "<getTypeDescriptionsInput><typeNames value=\"A&amp;B\"/><typeNames "
              "value=\"Folder\"/><typeNames value=\"Item\"/></getTypeDescriptionsInput>");
}

TEST_F(SessionServicesTest, OperationsWithoutAMeaningHereAreNotImplemented) {
    try {
        CoreService::getService(&connection)->reserved_2006_03_4();
        FAIL() << "returned";
    } catch (const RuntimeException& e) {
        EXPECT_EQ(e.getType(), RuntimeException::NOT_IMPLEMENTED);
    }
    EXPECT_THROW(InternalService::getService(&connection)->reserved_2007_05_0(), RuntimeException);
    EXPECT_TRUE(server.requests().empty());
}

}  // namespace

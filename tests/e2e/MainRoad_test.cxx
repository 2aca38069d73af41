// The main road against the loopback PLM service, through the real sender,
// session services and model manager: log in, a request whose reply names
// types the manager has not seen, typed objects and references, a partial
// error, a lost session and a refused request.
#include <soa/client/Connection.hxx>
#include <soa/client/ModelManagerImpl.hxx>
#include <soa/client/PartialErrorListener.hxx>
#include <soa/client/RestSender.hxx>
#include <soa/client/SessionManager.hxx>
#include <soa/client/model/Folder.hxx>
#include <soa/client/model/Item.hxx>
#include <soa/client/model/ItemRevision.hxx>
#include <soa/client/model/ReleaseStatus.hxx>
#include <soa/client/model/User.hxx>
#include <soa/common/SAXToNodeParser.hxx>
#include <soa/common/XmlStream.hxx>
#include <soa/schemas/base/ServiceData.hxx>
#include <soa/schemas/exceptions/InvalidCredentialsException.hxx>
#include <soa/schemas/exceptions/ServiceException.hxx>
#include <soa/services/core/SessionService.hxx>

#include "tests/fastcache/ChildProcess.hxx"
#include "tests/support/Doubles.hxx"
#include "tests/support/LoopbackPlmService.hxx"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace {

namespace Client = Quillomark::Soa::Client;
namespace Model = Quillomark::Soa::Client::Model;
namespace Faults = Quillomark::Schemas::Soa::_2006_03::Exceptions;
using Quillomark::Testing::LoopbackPlmService;
using Quillomark::Testing::RecordingCredentialManager;
using Strings = std::vector<std::string>;

class RecordingPartialErrors : public Client::PartialErrorListener {
public:
    void handlePartialErrors(const std::vector<Client::ErrorStack>& errors) override {
        calls.push_back(errors);
    }
    std::vector<std::vector<Client::ErrorStack>> calls;
};

class MainRoad : public ::testing::Test {
protected:
    void SetUp() override {
        credentials.credentials = {LoopbackPlmService::USER, LoopbackPlmService::PASSWORD,
                                   "Engineering", "Designer", ""};
        manager().addPartialErrorListener(&partialErrors);
    }

    Client::ModelManagerImpl& manager() {
        return *static_cast<Client::ModelManagerImpl*>(connection.getModelManager());
    }

    Quillomark::Services::Core::_2006_03::Session::LoginResponse login(
        const std::string& password = LoopbackPlmService::PASSWORD) {
        return Quillomark::Services::Core::SessionService::getService(&connection)
            ->login(LoopbackPlmService::USER, password, "Engineering", "Designer", "");
    }

    Model::Folder* findFolder(const std::string& name) { return findFolder(connection, name); }

    Model::Folder* findFolder(Client::Connection& connection, const std::string& name) {
        Quillomark::Soa::Common::Xml::XmlStream request;
        request.startElement("findFolderInput");
        request.attribute("folderName", name);
        request.endElement();
        Quillomark::Soa::Common::Xml::SAXToNodeParser reply;
        Client::SessionManager::getSessionManager(&connection)
            ->getRestSender()
            ->invoke(LoopbackPlmService::QUERY_SERVICE, LoopbackPlmService::QUERY_OPERATION,
                     request.str(), reply);
        Quillomark::Schemas::Soa::_2006_03::Base::ServiceData data;
        data.parse(reply.getRoot());
        const Client::ServiceData loaded =
            static_cast<Client::ModelManagerImpl*>(connection.getModelManager())
                ->loadServiceData(data);
        EXPECT_EQ(loaded.getPlainObjs().size(), 1u);
        return loaded.getPlainObjs().empty()
                   ? nullptr
                   : dynamic_cast<Model::Folder*>(loaded.getPlainObjs()[0]);
    }

    LoopbackPlmService service;
    RecordingCredentialManager credentials;
    RecordingPartialErrors partialErrors;
    Client::Connection connection{service.hostPath(), &credentials, Client::Connection::HTTP,
                                  Client::Connection::REST, true};
};

TEST_F(MainRoad, TypedObjectsArriveWithTheirTypesFetchedOnTheWay) {
    auto response = login();
    auto* user = dynamic_cast<Model::User*>(response.user);
    ASSERT_NE(user, nullptr);
    EXPECT_EQ(user->get_user_name(), "Dana Designer");
    EXPECT_EQ(credentials.calls,
              (Strings{"setUserPassword(designer,secret,)", "setGroupRole(Engineering,Designer)"}));

    Model::Folder* home = findFolder(LoopbackPlmService::HOME_FOLDER);
    ASSERT_NE(home, nullptr);
    // One type request for the reply's four new types; their ancestors came with them.
    EXPECT_EQ(service.requests(), (Strings{"Core-2006-03-Session/login",
                                           "Internal-Core-2006-03-Types/getTypeDescriptions",
                                           "Query-2007-06-Finder/findFolder",
                                           "Internal-Core-2006-03-Types/getTypeDescriptions"}));

    EXPECT_EQ(home->get_object_name(), "Home");
    EXPECT_EQ(home->get_creation_date(), Quillomark::Soa::Common::DateTime(2023, 11, 2, 9, 15, 0));
    ASSERT_EQ(home->count_contents(), 2u);
    auto* bracket = dynamic_cast<Model::Item*>(home->get_contents_at(0));
    ASSERT_NE(bracket, nullptr);
    EXPECT_EQ(bracket->get_item_id(), "000101");
    ASSERT_EQ(bracket->get_revision_list().size(), 2u);
    auto* revisionA = dynamic_cast<Model::ItemRevision*>(bracket->get_revision_list()[0]);
    ASSERT_NE(revisionA, nullptr);
    EXPECT_EQ(revisionA->get_item_revision_id(), "A");
    EXPECT_EQ(revisionA->get_items_tag(), bracket);
    ASSERT_EQ(revisionA->count_release_status_list(), 1u);
    EXPECT_EQ(revisionA->get_release_status_list_at(0)->get_name(), "Released");
    EXPECT_EQ(dynamic_cast<Model::Item*>(home->get_contents_at(1))->get_object_desc(),
              "Gearbox housing \xE2\x80\x93 left & right");

    ASSERT_EQ(partialErrors.calls.size(), 1u);
    ASSERT_EQ(partialErrors.calls[0].size(), 1u);
    const Client::ErrorStack& error = partialErrors.calls[0][0];
    EXPECT_EQ(error.getClientId(), "000103");
    EXPECT_EQ(error.getAssociatedObject(), home);
    ASSERT_EQ(error.getErrorValueCount(), 1);
    EXPECT_EQ(error.getErrorValue(0).code, 515024);
}

TEST_F(MainRoad, ALostSessionIsLoggedInAgainAndTheRequestGoesThrough) {
    login();
    Model::Folder* home = findFolder(LoopbackPlmService::HOME_FOLDER);
    const std::size_t before = service.requests().size();
    credentials.calls.clear();

    service.endSessions();
    EXPECT_EQ(findFolder(LoopbackPlmService::HOME_FOLDER), home);  // the stored object, reloaded

    const Strings all = service.requests();
    EXPECT_EQ(Strings(all.begin() + static_cast<std::ptrdiff_t>(before), all.end()),
              (Strings{"Query-2007-06-Finder/findFolder", "Core-2006-03-Session/login",
                       "Core-2007-01-Session/setObjectPropertyPolicy",
                       "Query-2007-06-Finder/findFolder"}));
    EXPECT_EQ(credentials.calls,
              (Strings{"getCredentials(InvalidUser:The session is not valid any more.)",
                       "setUserPassword(designer,secret,)", "setGroupRole(Engineering,Designer)"}));
    EXPECT_EQ(home->count_contents(), 2u);
}

TEST_F(MainRoad, RefusalsReachTheCaller) {
    EXPECT_THROW(login("wrong"), Faults::InvalidCredentialsException);
    EXPECT_TRUE(credentials.calls.empty());

    login();
    try {
        findFolder("Archive");
        FAIL() << "returned";
    } catch (const Faults::ServiceException& e) {
        EXPECT_EQ(e.getCode(), 38015);
        EXPECT_EQ(e.getMessage(), "The folder \"Archive\" does not exist.");
    }
    EXPECT_TRUE(partialErrors.calls.empty());
}

// The application ends with exit() while its threads load replies: what
// they read of the library meanwhile stays intact, so no process dies. The
// processes are forked by one that runs no thread, so that none starts with
// a lock that a thread of the server's held.
TEST_F(MainRoad, AnExitWhileThreadsLoadRepliesEndsTheProcessCleanly) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer starts no thread in a child of a process whose threads run";
#endif
    // Three threads load the home folder over and over; the main thread
    // exits once each has loaded it.
    const auto exitWhileLoading = [this] {
        std::mutex mutex;
        std::condition_variable loaded;
        int loads = 0;
        for (int t = 0; t < 3; ++t) {
            std::thread([&] {
                RecordingCredentialManager own;
                Client::Connection connection{service.hostPath(), &own, Client::Connection::HTTP,
                                              Client::Connection::REST, true};
                Quillomark::Services::Core::SessionService::getService(&connection)
                    ->login(LoopbackPlmService::USER, LoopbackPlmService::PASSWORD, "", "", "");
                for (;;) {
                    connection.getModelManager()->removeAllObjectsFromStore();
                    findFolder(connection, LoopbackPlmService::HOME_FOLDER);
                    const std::lock_guard<std::mutex> hold(mutex);
                    ++loads;
                    loaded.notify_all();
                }
            }).detach();
        }
        std::unique_lock<std::mutex> hold(mutex);
        loaded.wait(hold, [&] { return loads >= 3; });
        hold.unlock();
        std::exit(0);
    };
    const pid_t launcher = ::fork();
    ASSERT_NE(launcher, -1);
    if (launcher == 0) {
        int died = 0;
        for (int process = 0; process < 200; ++process) {
            died += !Quillomark::Testing::runInChild(exitWhileLoading).empty();
        }
        ::_exit(died);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(launcher, &status, 0), launcher);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "processes that died, of 200";
}

}  // namespace

// A small application of the client library, from log-in to typed objects.
//
// It talks to a loopback PLM service that it starts itself (the one the
// end-to-end tests use), so it runs anywhere without a server:
//   1. open a Connection with our own CredentialManager and log in through
//      the core session service;
//   2. send a service request through the session's sender, load the reply's
//      service data into the connection's model manager (the manager fetches
//      the descriptions of types it has not seen on the way) and hear of the
//      reply's partial errors through a listener;
//   3. walk the returned objects as typed classes (a Folder, its Items and
//      their ItemRevisions) and read their properties through typed accessors;
//   4. lose the session on the server: the sender asks the credential manager
//      and logs in again by itself, then sends the request again;
//   5. send a request the server refuses and catch the service's exception.
#include <soa/client/CanceledOperationException.hxx>
#include <soa/client/Connection.hxx>
#include <soa/client/CredentialManager.hxx>
#include <soa/client/ModelManagerImpl.hxx>
#include <soa/client/NotLoadedException.hxx>
#include <soa/client/PartialErrorListener.hxx>
#include <soa/client/RestSender.hxx>
#include <soa/client/RuntimeException.hxx>
#include <soa/client/ServiceData.hxx>
#include <soa/client/SessionManager.hxx>
#include <soa/client/model/Folder.hxx>
#include <soa/client/model/Item.hxx>
#include <soa/client/model/ItemRevision.hxx>
#include <soa/client/model/ReleaseStatus.hxx>
#include <soa/client/model/User.hxx>
#include <soa/common/DateTime.hxx>
#include <soa/common/SAXToNodeParser.hxx>
#include <soa/common/XmlStream.hxx>
#include <soa/schemas/base/ServiceData.hxx>
#include <soa/schemas/exceptions/ServiceException.hxx>
#include <soa/services/core/SessionService.hxx>

#include "tests/support/LoopbackPlmService.hxx"

#include <cstdio>
#include <iostream>
#include <string>

namespace {

namespace Client = Quillomark::Soa::Client;
namespace Model = Quillomark::Soa::Client::Model;
namespace Base = Quillomark::Schemas::Soa::_2006_03::Base;
namespace Faults = Quillomark::Schemas::Soa::_2006_03::Exceptions;
namespace Xml = Quillomark::Soa::Common::Xml;
using Quillomark::Testing::LoopbackPlmService;

// The application's side of logging in: where the user's credentials come
// from when the session must be logged in again, and what it hears of each
// successful login. A real application would ask the user.
class ExampleCredentials : public Client::CredentialManager {
public:
    int getCredentialType() override { return 0; }  // user and password, not single sign-on

    Credentials getCredentials(Faults::InvalidUserException cause) override {
        std::cout << "   credential manager asked for credentials: \"" << cause.getMessage()
                  << "\"\n";
        return Credentials(user, password, "Engineering", "Designer", "");
    }
    Credentials getCredentials(Faults::InvalidCredentialsException cause) override {
        // The stored password was refused: give up rather than loop.
        throw Client::CanceledOperationException(cause.getMessage());
    }
    void setUserPassword(const std::string& loggedIn, const std::string& usedPassword,
                         const std::string& discriminator) override {
        user = loggedIn;
        password = usedPassword;
        (void)discriminator;
    }
    void setGroupRole(const std::string& group, const std::string& role) override {
        std::cout << "   credential manager told of the login: " << user << " in " << group
                  << " as " << role << "\n";
    }

private:
    std::string user;
    std::string password;
};

class PrintingPartialErrors : public Client::PartialErrorListener {
public:
    void handlePartialErrors(const std::vector<Client::ErrorStack>& errors) override {
        for (const Client::ErrorStack& stack : errors) {
            for (int i = 0; i < stack.getErrorValueCount(); ++i) {
                const Client::ErrorValue& error = stack.getErrorValue(i);
                std::cout << "   partial error for " << stack.getClientId() << ": " << error.code
                          << " \"" << error.message << "\"\n";
            }
        }
    }
};

std::string shown(const Quillomark::Soa::Common::DateTime& date) {
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d", date.year(), date.month(),
                  date.day(), date.hour(), date.minute());
    return text;
}

// What a service stub does for one operation: build the request document,
// send it through the session's sender, and load the service data of the
// reply into the connection's model manager.
Client::ServiceData findFolder(Client::Connection& connection, const std::string& folderName) {
    Xml::XmlStream request;
    request.startElement("findFolderInput");
    request.attribute("folderName", folderName);
    request.endElement();

    Xml::SAXToNodeParser reply;
    Client::SessionManager::getSessionManager(&connection)
        ->getRestSender()
        ->invoke(LoopbackPlmService::QUERY_SERVICE, LoopbackPlmService::QUERY_OPERATION,
                 request.str(), reply);
    Base::ServiceData data;
    data.parse(reply.getRoot());
    auto* manager = static_cast<Client::ModelManagerImpl*>(connection.getModelManager());
    return manager->loadServiceData(data);
}

void printFolder(Model::Folder& folder) {
    std::cout << "   " << folder.get_object_name() << " - " << folder.get_object_desc()
              << " (created " << shown(folder.get_creation_date()) << ")\n";
    for (unsigned int i = 0; i < folder.count_contents(); ++i) {
        auto* item = dynamic_cast<Model::Item*>(folder.get_contents_at(i));
        if (item == nullptr) continue;
        std::cout << "     Item " << item->get_item_id() << " " << item->get_object_name() << ": "
                  << item->get_object_desc() << "\n";
        for (Client::ModelObject* object : item->get_revision_list()) {
            auto* revision = dynamic_cast<Model::ItemRevision*>(object);
            if (revision == nullptr) continue;
            std::string status = "not released";
            if (revision->count_release_status_list() > 0) {
                status = revision->get_release_status_list_at(0)->get_name();
            }
            std::cout << "       revision " << revision->get_items_tag()->get_item_id() << "/"
                      << revision->get_item_revision_id() << ", created "
                      << shown(revision->get_creation_date()) << ", " << status << "\n";
        }
    }
}

Model::Folder* theFolder(const Client::ServiceData& data) {
    for (Client::ModelObject* object : data.getPlainObjs()) {
        if (auto* folder = dynamic_cast<Model::Folder*>(object)) return folder;
    }
    throw Client::RuntimeException(Client::RuntimeException::GENERAL_ERROR,
                                   "The reply holds no folder");
}

}  // namespace

int main() {
    LoopbackPlmService service;
    service.setLog([](const std::string& line) { std::cout << "   [server] " << line << "\n"; });
    std::cout << "Loopback PLM service at " << service.hostPath() << "\n";

    try {
        ExampleCredentials credentials;
        Client::Connection connection(service.hostPath(), &credentials, Client::Connection::HTTP,
                                      Client::Connection::REST, true);
        connection.setOption(Client::Connection::TIMEOUT, "30");
        PrintingPartialErrors partialErrors;
        connection.getModelManager()->addPartialErrorListener(&partialErrors);

        std::cout << "\n1. Log in\n";
        auto* session = Quillomark::Services::Core::SessionService::getService(&connection);
        auto login = session->login(LoopbackPlmService::USER, LoopbackPlmService::PASSWORD,
                                    "Engineering", "Designer", "");
        if (auto* user = dynamic_cast<Model::User*>(login.user)) {
            std::cout << "   logged in as " << user->get_user_name() << " (" << user->get_user_id()
                      << ")\n";
        }

        std::cout << "\n2. Ask for the folder \"" << LoopbackPlmService::HOME_FOLDER << "\"\n";
        Model::Folder* home = theFolder(findFolder(connection, LoopbackPlmService::HOME_FOLDER));
        printFolder(*home);

        std::cout << "\n3. The server loses the session; the request goes through all the same\n";
        service.endSessions();
        home = theFolder(findFolder(connection, LoopbackPlmService::HOME_FOLDER));
        std::cout << "   the folder still holds " << home->count_contents() << " items\n";

        std::cout << "\n4. Ask for a folder that does not exist\n";
        try {
            findFolder(connection, "Archive");
        } catch (const Faults::ServiceException& e) {
            std::cout << "   ServiceException " << e.getCode() << ": " << e.getMessage() << "\n";
        }
    } catch (const Quillomark::Schemas::Soa::_2006_03::Exceptions::SoaException& e) {
        std::cerr << "service exception: " << e.getMessage() << "\n";
        return 1;
    } catch (const Client::RuntimeException& e) {
        std::cerr << "runtime exception: " << e.getMessage() << "\n";
        return 1;
    } catch (const Client::CanceledOperationException& e) {
        std::cerr << "canceled: " << e.getMessage() << "\n";
        return 1;
    } catch (const Client::NotLoadedException& e) {
        std::cerr << "not loaded: " << e.getMessage() << "\n";
        return 1;
    }
    std::cout << "\nDone.\n";
    return 0;
}

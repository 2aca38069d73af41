// A session lost while the model manager fetches the ancestors of a type:
// the re-login's reply brings the user as an object of a type the client
// has not seen, loaded in the middle of that fetch. The server here
// describes one type per name asked for, so that every level of ancestors
// is a request of its own, and refuses the first request for chosen ones.
#include <soa/client/Connection.hxx>
#include <soa/client/ModelManagerImpl.hxx>
#include <soa/client/ModelObject.hxx>
#include <soa/client/RestSender.hxx>
#include <soa/client/RuntimeException.hxx>
#include <soa/client/ServiceData.hxx>
#include <soa/client/SessionManager.hxx>
#include <soa/client/Type.hxx>
#include <soa/client/TypeImpl.hxx>
#include <soa/client/model/User.hxx>
#include <soa/common/SAXToNodeParser.hxx>
#include <soa/common/XmlStream.hxx>
#include <soa/schemas/base/ModelSchema.hxx>
#include <soa/schemas/base/ServiceData.hxx>
#include <soa/schemas/core/LoginResponse.hxx>
#include <soa/schemas/exceptions/SoaException.hxx>

#include "tests/support/Doubles.hxx"
#include "tests/support/LoopbackHttpServer.hxx"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

namespace Client = Quillomark::Soa::Client;
namespace Model = Quillomark::Soa::Client::Model;
namespace Base = Quillomark::Schemas::Soa::_2006_03::Base;
namespace Xml = Quillomark::Soa::Common::Xml;
using Quillomark::Testing::HttpReply;
using Quillomark::Testing::HttpRequest;
using Quillomark::Testing::LoopbackHttpServer;
using Quillomark::Testing::RecordingCredentialManager;

const char OBJECT_UID[] = "QaObjAAAAAAAAA";
const char USER_UID[] = "QaUsrAAAAAAAAA";

// Each type with its parent; "User" has a typed class, the others none.
// "Ghost" is described by no request.
const std::map<std::string, std::string> PARENTS{{"Level0", "Level1"}, {"Level1", ""},
                                                 {"QmUser", "User"},   {"User", ""},
                                                 {"UserX", "Mid"},     {"Mid", "Ghost"}};

template <class Value>
std::string document(const Value& value, const std::string& element) {
    Xml::XmlStream stream;
    value.outputXML(stream, element);
    return stream.str();
}

Base::ModelObject wireObject(const std::string& uid, const std::string& type) {
    Base::ModelObject object;
    object.setUid(uid);
    object.setType(type);
    return object;
}

class TypeServer {
public:
    // Loads objects of `objectType` and logs in a user of `userType`; the
    // first request for each type of `lost` finds the session gone;
    // `unknown` is described by no request.
    TypeServer(std::string objectType, const std::vector<std::string>& lost,
               std::string unknown = "", std::string userType = "QmUser")
        : objectType(std::move(objectType)),
          unknown(std::move(unknown)),
          userType(std::move(userType)) {
        for (const std::string& name : lost) lostCalls.insert("getTypeDescriptions(" + name + ")");
        server.script().setFallback([this](const HttpRequest& r) { return answer(r); });
    }
    std::string hostPath() const { return server.url() + "/tc"; }
    // "operation" or "getTypeDescriptions(names)" of every request, in order.
    std::vector<std::string> requests() const {
        std::vector<std::string> seen;
        for (const HttpRequest& request : server.requests()) seen.push_back(describe(request));
        return seen;
    }

private:
    static std::string describe(const HttpRequest& request) {
        const std::string operation = request.target.substr(request.target.rfind('/') + 1);
        if (operation != "getTypeDescriptions") return operation;
        std::string names;
        Xml::SAXToNodeParser parser;
        for (const auto* child : parser.parseString(request.body).getChildren()) {
            names += (names.empty() ? "" : ",") + *child->findAttribute("value");
        }
        return operation + "(" + names + ")";
    }

    HttpReply answer(const HttpRequest& request) {
        const std::string call = describe(request);
        if (call == "login") {
            Quillomark::Schemas::Core::_2006_03::Session::LoginResponse response;
            response.setUser(wireObject(USER_UID, userType));
            return HttpReply::ok(document(response, "loginResponse"));
        }
        if (call == "setObjectPropertyPolicy") {
            return HttpReply::ok("<setObjectPropertyPolicyResponse/>");
        }
        if (call == "find") {
            Base::ServiceData data;
            data.addDataObject(wireObject(OBJECT_UID, objectType));
            return HttpReply::ok(document(data, "serviceData"));
        }
        if (lostCalls.erase(call) != 0) {
            Xml::XmlStream fault;
            fault.startElement("InvalidUserException");
            fault.attribute("xmlns",
                            Quillomark::Schemas::Soa::_2006_03::Exceptions::EXCEPTIONS_NAMESPACE);
            fault.attribute("message", "The session is not valid any more.");
            fault.endElement();
            return HttpReply::withStatus(401, fault.str());
        }
        Base::ModelSchema schema;
        Xml::SAXToNodeParser parser;
        for (const auto* child : parser.parseString(request.body).getChildren()) {
            const std::string& name = *child->findAttribute("value");
            if (PARENTS.count(name) == 0 || name == unknown) continue;
            Base::ModelType type;
            type.setName(name);
            type.setUid("TYPE::" + name);
            if (!PARENTS.at(name).empty()) type.setParentTypeName(PARENTS.at(name));
            schema.addType(type);
        }
        return HttpReply::ok(document(schema, "modelSchema"));
    }

    const std::string objectType;
    const std::string unknown;
    const std::string userType;
    std::set<std::string> lostCalls;  // the server's thread alone uses it
    LoopbackHttpServer server;
};

// The object of the reply and the user of the re-login both come out of
// typed classes chosen by their whole chains: whether the user's type is a
// chain of its own or the very chain whose fetch the lost session cut, also
// when the session is lost again in the re-login's own fetch of it. A
// parent that the server does not describe fails the load whose chain
// needs it also when the re-login's load met it first.
TEST(ReloginInTypeFetch, TheUserOfTheReloginIsMadeOfItsTypedClass) {
    struct Case {
        const char* objectType;
        std::vector<std::string> lost;
        std::string unknown = "";
        std::string userType = "QmUser";
    };
    for (const Case& c :
         {Case{"Level0", {"Level1"}}, Case{"QmUser", {"User"}}, Case{"QmUser", {"QmUser", "User"}},
          Case{"QmUser", {"User"}, "User"}, Case{"UserX", {"UserX"}, "Ghost", "UserX"}}) {
        SCOPED_TRACE(c.objectType + std::to_string(c.lost.size()) + c.unknown);
        TypeServer server(c.objectType, c.lost, c.unknown, c.userType);
        RecordingCredentialManager credentials;
        Client::Connection connection(server.hostPath(), &credentials, Client::Connection::HTTP,
                                      Client::Connection::REST, true);
        auto& manager = *static_cast<Client::ModelManagerImpl*>(connection.getModelManager());

        Xml::SAXToNodeParser reply;
        Client::SessionManager::getSessionManager(&connection)
            ->getRestSender()
            ->invoke("Query-Test", "find", "<findInput/>", reply);
        Base::ServiceData data;
        data.parse(reply.getRoot());
        if (!c.unknown.empty()) {
            try {
                manager.loadServiceData(data);
                ADD_FAILURE() << "made an object whose chain waits for its parent";
            } catch (const Client::RuntimeException& e) {
                EXPECT_EQ(e.getMessage(), "Server gave me an parent type, " + c.unknown +
                                              ", that it now denies exists!");
            }
            // Not asked for again: later loads go on without it.
            const std::size_t asked = server.requests().size();
            manager.loadServiceData(data);
            EXPECT_EQ(server.requests().size(), asked);
            continue;
        }
        manager.loadServiceData(data);

        const std::vector<std::string> requests = server.requests();
        auto lost = std::find(requests.begin(), requests.end(),
                              "getTypeDescriptions(" + c.lost.front() + ")");
        ASSERT_LT(lost + 1, requests.end());
        EXPECT_EQ(lost[1], "login");
        EXPECT_EQ(requests.back(), "getTypeDescriptions(" + c.lost.back() + ")");

        // The re-login's load of its user was cut short when it lost the
        // session again.
        if (c.lost.size() == 1) {
            EXPECT_NE(dynamic_cast<Model::User*>(manager.getObject(USER_UID)), nullptr);
        }
        EXPECT_EQ(manager.getType("QmUser")->getParent(), manager.getType("User"));
        Client::ModelObject* object = manager.getObject(OBJECT_UID);
        ASSERT_NE(object->getType()->getParent(), nullptr);
        EXPECT_EQ(object->getType()->getParent()->getName(), PARENTS.at(c.objectType));
        EXPECT_EQ(dynamic_cast<Model::User*>(object) != nullptr,
                  PARENTS.at(c.objectType) == "User");
    }
}

}  // namespace

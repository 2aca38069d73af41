#include <platform/corestrong/internal/SessionServiceStubs.hxx>

#include <soa/client/Connection.hxx>
#include <soa/client/ModelManagerImpl.hxx>
#include <soa/client/RestSender.hxx>
#include <soa/client/RuntimeException.hxx>
#include <soa/client/SessionManager.hxx>
#include <soa/common/DomException.hxx>
#include <soa/common/SAXToNodeParser.hxx>
#include <soa/common/XmlStream.hxx>
#include <soa/schemas/base/ModelSchema.hxx>
#include <soa/schemas/core/LoginInput.hxx>
#include <soa/schemas/core/LoginResponse.hxx>
#include <soa/schemas/core/LoginSSOInput.hxx>
#include <soa/schemas/core/SetObjectPropertyPolicyInput.hxx>
#include <soa/schemas/exceptions/ProtocolException.hxx>

#include <algorithm>
#include <memory>

namespace Quillomark::Platform::CoreStrong {

using Quillomark::Soa::Client::Connection;
using Quillomark::Soa::Client::RuntimeException;
using Quillomark::Soa::Client::SessionManager;
using Quillomark::Soa::Common::Exceptions::DomException;
namespace Xml = Quillomark::Soa::Common::Xml;
namespace Session2006 = Quillomark::Schemas::Core::_2006_03::Session;
namespace Session2007 = Quillomark::Schemas::Core::_2007_01::Session;

const char* const CORE_SESSION_STUB_NAME = "corestrong:Core::SessionService";
const char* const INTERNAL_SESSION_STUB_NAME = "corestrong:Internal::Core::SessionService";

namespace {

// The stub of `name` in the connection's registry, made and registered on
// first use; the session owns it.
template <class Service, class Stub>
Service* stubOf(Connection* connection, const char* name) {
    SessionManager* session = SessionManager::getSessionManager(connection);
    if (auto* existing = dynamic_cast<Service*>(session->getService(name))) return existing;
    auto stub = std::make_unique<Stub>(connection);
    session->registerService(name, stub.get());
    return stub.release();
}

// The request document of `operation`, written by `write`. Text that XML
// cannot carry (a control character, U+FFFE) is the caller's: the request
// is refused before anything is sent.
template <class Write>
std::string writeRequest(const std::string& operation, Write write) {
    try {
        Xml::XmlStream stream;
        write(stream);
        return stream.str();
    } catch (const DomException& e) {
        throw RuntimeException(RuntimeException::GENERAL_ERROR,
                               "The " + operation + " request cannot be sent: " + e.getMessage());
    }
}

// A request document whose root element is the input value itself, named
// after the operation.
template <class Input>
std::string requestDocument(const Input& input, const std::string& operation) {
    return writeRequest(
        operation, [&](Xml::XmlStream& stream) { input.outputXML(stream, operation + "Input"); });
}

// Reads a reply into its wire value. A reply whose values are of the wrong
// form is the server's fault, as one that is no XML.
template <class Reply>
void readReply(Reply& reply, const Xml::SAXToNodeParser& parser) {
    try {
        reply.parse(parser.getRoot());
    } catch (const DomException& e) {
        throw Quillomark::Schemas::Soa::_2006_03::Exceptions::ProtocolException(e.getMessage());
    }
}

// The request document of a login; `setSecret` stores the password or the
// single-sign-on credentials.
template <class Input>
std::string loginDocument(void (Input::*setSecret)(const std::string&),
                          const std::string& operation, const std::string& user,
                          const std::string& secret, const std::string& group,
                          const std::string& role, const std::string& discriminator) {
    Input input;
    input.setUsername(user);
    (input.*setSecret)(secret);
    input.setGroup(group);
    input.setRole(role);
    input.setSessionDiscriminator(discriminator);
    return requestDocument(input, operation);
}

void invoke(Connection* connection, const std::string& service, const std::string& operation,
            const std::string& request, Xml::SAXToNodeParser& parser) {
    SessionManager::getSessionManager(connection)
        ->getRestSender()
        ->invoke(service, operation, request, parser);
}

// The model manager of `connection`, into which replies are loaded.
Quillomark::Soa::Client::ModelManagerImpl& modelManagerOf(Connection* connection) {
    return *static_cast<Quillomark::Soa::Client::ModelManagerImpl*>(connection->getModelManager());
}

// The client object of a wire object of a reply; none when the reply left
// the object out.
Quillomark::Soa::Client::ModelObject* loadIfPresent(
    Connection* connection, const Quillomark::Schemas::Soa::_2006_03::Base::ModelObject& wire) {
    if (wire.getUid().empty()) return nullptr;
    return modelManagerOf(connection).loadObjectData(wire);
}

[[noreturn]] void notImplemented() {
    throw RuntimeException(RuntimeException::NOT_IMPLEMENTED,
                           "This operation of the session service is not available");
}

}  // namespace

CoreSessionStub::CoreSessionStub(Connection* connection) : connection(connection) {}
CoreSessionStub::~CoreSessionStub() = default;

CoreSessionStub::LoginResponse CoreSessionStub::login(const std::string& user,
                                                      const std::string& password,
                                                      const std::string& group,
                                                      const std::string& role,
                                                      const std::string& discriminator) {
    return sendLogin("login", loginDocument(&Session2006::LoginInput::setPassword, "login", user,
                                            password, group, role, discriminator));
}

CoreSessionStub::LoginResponse CoreSessionStub::loginSSO(const std::string& user,
                                                         const std::string& ssoCredentials,
                                                         const std::string& group,
                                                         const std::string& role,
                                                         const std::string& discriminator) {
    return sendLogin("loginSSO",
                     loginDocument(&Session2006::LoginSSOInput::setSsoCredentials, "loginSSO", user,
                                   ssoCredentials, group, role, discriminator));
}

CoreSessionStub::LoginResponse CoreSessionStub::sendLogin(const std::string& operation,
                                                          const std::string& document) {
    Xml::SAXToNodeParser parser;
    invoke(connection, "Core-2006-03-Session", operation, document, parser);
    Session2006::LoginResponse reply;
    readReply(reply, parser);
    LoginResponse response;
    response.user = loadIfPresent(connection, reply.getUser());
    response.groupMember = loadIfPresent(connection, reply.getGroupMember());
    response.serviceData = modelManagerOf(connection).loadServiceData(reply.getServiceData());
    return response;
}

void CoreSessionStub::setObjectPropertyPolicy(const std::string& policyName) {
    Session2007::SetObjectPropertyPolicyInput input;
    input.setPolicyName(policyName);
    Xml::SAXToNodeParser parser;
    invoke(connection, "Core-2007-01-Session", "setObjectPropertyPolicy",
           requestDocument(input, "setObjectPropertyPolicy"), parser);
}

void CoreSessionStub::reserved_2006_03_0() { notImplemented(); }
void CoreSessionStub::reserved_2007_01_0() { notImplemented(); }
void CoreSessionStub::reserved_2006_03_1() { notImplemented(); }
void CoreSessionStub::reserved_2007_01_1() { notImplemented(); }
void CoreSessionStub::reserved_2006_03_3() { notImplemented(); }
void CoreSessionStub::reserved_2006_03_4() { notImplemented(); }
void CoreSessionStub::reserved_2006_03_5() { notImplemented(); }
void CoreSessionStub::reserved_2006_03_6() { notImplemented(); }
void CoreSessionStub::reserved_2006_03_8() { notImplemented(); }

InternalSessionStub::InternalSessionStub(Connection* connection) : connection(connection) {}
InternalSessionStub::~InternalSessionStub() = default;

void InternalSessionStub::getTypeDescriptions(const std::vector<std::string>& typeNames) {
    std::vector<std::string> sorted = typeNames;
    std::sort(sorted.begin(), sorted.end());
    const std::string request = writeRequest("getTypeDescriptions", [&](Xml::XmlStream& stream) {
        stream.startElement("getTypeDescriptionsInput");
        for (const std::string& name : sorted) {
            stream.startElement("typeNames");
            stream.attribute("value", name);
            stream.endElement();
        }
        stream.endElement();
    });

    Xml::SAXToNodeParser parser;
    invoke(connection, "Internal-Core-2006-03-Types", "getTypeDescriptions", request, parser);
    Quillomark::Schemas::Soa::_2006_03::Base::ModelSchema schema;
    readReply(schema, parser);
    modelManagerOf(connection).loadModelSchema(schema);
}

void InternalSessionStub::reserved_2006_03_0() { notImplemented(); }
void InternalSessionStub::reserved_2007_05_0() { notImplemented(); }

}  // namespace Quillomark::Platform::CoreStrong

namespace Quillomark::Services {

Core::SessionService* Core::SessionService::getService(
    Quillomark::Soa::Client::Connection* connection) {
    return Quillomark::Platform::CoreStrong::stubOf<
        SessionService, Quillomark::Platform::CoreStrong::CoreSessionStub>(
        connection, Quillomark::Platform::CoreStrong::CORE_SESSION_STUB_NAME);
}

Internal::Core::SessionService* Internal::Core::SessionService::getService(
    Quillomark::Soa::Client::Connection* connection) {
    return Quillomark::Platform::CoreStrong::stubOf<
        SessionService, Quillomark::Platform::CoreStrong::InternalSessionStub>(
        connection, Quillomark::Platform::CoreStrong::INTERNAL_SESSION_STUB_NAME);
}

}  // namespace Quillomark::Services

#include "tests/support/LoopbackPlmService.hxx"

#include <soa/client/ModelManagerImpl.hxx>
#include <soa/client/RestSender.hxx>
#include <soa/client/SessionManager.hxx>
#include <soa/common/SAXToNodeParser.hxx>
#include <soa/common/XmlStream.hxx>
#include <soa/schemas/base/ModelSchema.hxx>
#include <soa/schemas/base/ServiceData.hxx>
#include <soa/schemas/core/LoginInput.hxx>
#include <soa/schemas/core/LoginResponse.hxx>
#include <soa/schemas/core/SetObjectPropertyPolicyInput.hxx>
#include <soa/schemas/exceptions/SoaException.hxx>

#include <initializer_list>
#include <stdexcept>
#include <utility>

namespace Quillomark::Testing {

namespace {

namespace Base = Quillomark::Schemas::Soa::_2006_03::Base;
namespace Faults = Quillomark::Schemas::Soa::_2006_03::Exceptions;
namespace Session2006 = Quillomark::Schemas::Core::_2006_03::Session;
namespace Session2007 = Quillomark::Schemas::Core::_2007_01::Session;
using Quillomark::Soa::Common::Xml::SAXToNodeParser;
using Quillomark::Soa::Common::Xml::XmlStream;

const char SESSION_COOKIE[] = "QMSESSION=";

// Server kinds of the type descriptions.
enum Kind { DATE = 2, STRING = 8, REFERENCE = 9 };

struct PropertyShape {
    const char* name;
    Kind kind;
    bool array;
};

const PropertyShape PROPERTIES[] = {
    {"object_name", STRING, false},
    {"object_desc", STRING, false},
    {"creation_date", DATE, false},
    {"contents", REFERENCE, true},
    {"item_id", STRING, false},
    {"revision_list", REFERENCE, true},
    {"item_revision_id", STRING, false},
    {"items_tag", REFERENCE, false},
    {"release_status_list", REFERENCE, true},
    {"name", STRING, false},
    {"user_id", STRING, false},
    {"user_name", STRING, false},
    {"home_folder", REFERENCE, false},
};

struct TypeShape {
    const char* name;
    const char* parent;
    std::initializer_list<const char*> properties;
};

// Descriptions are not inherited: each type lists every property it has.
const TypeShape TYPES[] = {
    {"POM_object", "", {}},
    {"POM_application_object", "POM_object", {"creation_date"}},
    {"POM_system_class", "POM_object", {}},
    {"POM_user", "POM_system_class", {"user_id", "user_name"}},
    {"User", "POM_user", {"user_id", "user_name", "home_folder"}},
    {"WorkspaceObject",
     "POM_application_object",
     {"object_name", "object_desc", "creation_date", "release_status_list"}},
    {"Folder", "WorkspaceObject", {"object_name", "object_desc", "creation_date", "contents"}},
    {"Item",
     "WorkspaceObject",
     {"object_name", "object_desc", "creation_date", "item_id", "revision_list"}},
    {"ItemRevision",
     "WorkspaceObject",
     {"object_name", "creation_date", "item_revision_id", "items_tag", "release_status_list"}},
    {"ReleaseStatus", "POM_object", {"name"}},
};

const TypeShape* findType(const std::string& name) {
    for (const TypeShape& type : TYPES) {
        if (name == type.name) return &type;
    }
    return nullptr;
}

const PropertyShape& findProperty(const std::string& name) {
    for (const PropertyShape& property : PROPERTIES) {
        if (name == property.name) return property;
    }
    throw std::logic_error("no such property in the service's table: " + name);
}

Base::ModelType describe(const TypeShape& shape) {
    Base::ModelType type;
    type.setName(shape.name);
    type.setUid(std::string("TYPE::") + shape.name);
    type.setClassName(shape.name);
    if (*shape.parent != '\0') type.setParentTypeName(shape.parent);
    for (const char* name : shape.properties) {
        const PropertyShape& property = findProperty(name);
        Base::PropDescriptor descriptor;
        descriptor.setName(property.name);
        descriptor.setType(property.kind);
        descriptor.setAnArray(property.array);
        descriptor.setDisplayable(true);
        descriptor.setModifiable(property.kind != REFERENCE);
        type.addPropDescriptor(descriptor);
    }
    return type;
}

// One business object of the service's data.
class Object {
public:
    Object(const std::string& uid, const std::string& type) {
        object.setUid(uid);
        object.setType(type);
        object.setClassName(type);
    }
    Object& text(const std::string& name, const std::string& value) {
        return property(name, value, {value});
    }
    // A date as the server sends it, with its display form.
    Object& date(const std::string& name, const std::string& value, const std::string& shown) {
        return property(name, shown, {value});
    }
    Object& references(const std::string& name, const std::string& shown,
                       std::initializer_list<const char*> uids) {
        return property(name, shown, std::vector<std::string>(uids.begin(), uids.end()));
    }
    const Base::ModelObject& wire() const { return object; }

private:
    Object& property(const std::string& name, const std::string& shown,
                     const std::vector<std::string>& values) {
        Base::Property property;
        property.setName(name);
        property.setUiValue(shown);
        property.setModifiable(findProperty(name).kind != REFERENCE);
        for (const std::string& text : values) {
            Base::PropertyValue value;
            value.setValue(text);
            property.addValue(value);
        }
        object.addPropertie(property);
        return *this;
    }

    Base::ModelObject object;
};

const char HOME[] = "HomeFolder0001";
const char BRACKET[] = "Item0001010001";
const char HOUSING[] = "Item0001020001";
const char BRACKET_A[] = "Rev000101A0001";
const char BRACKET_B[] = "Rev000101B0001";
const char HOUSING_A[] = "Rev000102A0001";
const char RELEASED[] = "Released000001";
const char DESIGNER[] = "UserDesigner01";

Base::ServiceData homeFolder() {
    const Object objects[] = {
        Object(HOME, "Folder")
            .text("object_name", "Home")
            .text("object_desc", "What designer works on")
            .date("creation_date", "2023-11-02T09:15:00", "02-Nov-2023 09:15")
            .references("contents", "000101-Bracket, 000102-Housing", {BRACKET, HOUSING}),
        Object(BRACKET, "Item")
            .text("object_name", "Bracket")
            .text("object_desc", "Mounting bracket, cast aluminium")
            .text("item_id", "000101")
            .date("creation_date", "2024-01-15T10:02:41", "15-Jan-2024 10:02")
            .references("revision_list", "000101/A, 000101/B", {BRACKET_A, BRACKET_B}),
        Object(BRACKET_A, "ItemRevision")
            .text("object_name", "Bracket")
            .text("item_revision_id", "A")
            .references("items_tag", "000101-Bracket", {BRACKET})
            .date("creation_date", "2024-01-15T10:02:41", "15-Jan-2024 10:02")
            .references("release_status_list", "Released", {RELEASED}),
        Object(BRACKET_B, "ItemRevision")
            .text("object_name", "Bracket")
            .text("item_revision_id", "B")
            .references("items_tag", "000101-Bracket", {BRACKET})
            .date("creation_date", "2024-06-03T16:45:10", "03-Jun-2024 16:45")
            .references("release_status_list", "", {}),
        Object(HOUSING, "Item")
            .text("object_name", "Housing")
            .text("object_desc", "Gearbox housing \xE2\x80\x93 left & right")
            .text("item_id", "000102")
            .date("creation_date", "2024-02-20T08:30:00", "20-Feb-2024 08:30")
            .references("revision_list", "000102/A", {HOUSING_A}),
        Object(HOUSING_A, "ItemRevision")
            .text("object_name", "Housing")
            .text("item_revision_id", "A")
            .references("items_tag", "000102-Housing", {HOUSING})
            .date("creation_date", "2024-02-20T08:30:00", "20-Feb-2024 08:30")
            .references("release_status_list", "", {}),
        Object(RELEASED, "ReleaseStatus").text("name", "Released"),
    };
    Base::ServiceData data;
    Base::RefId folder;
    folder.setUid(HOME);
    data.addPlainObj(folder);
    for (const Object& object : objects) data.addDataObject(object.wire());

    Base::ErrorValue error;
    error.setCode(515024);
    error.setLevel(3);
    error.setMessage("You have no read access to item 000103.");
    Base::ErrorStack stack;
    stack.setClientId("000103");
    stack.setUid(HOME);
    stack.addErrorValue(error);
    data.addPartialError(stack);
    return data;
}

template <class Value>
std::string document(const Value& value, const std::string& elementName) {
    XmlStream stream;
    value.outputXML(stream, elementName);
    return stream.str();
}

// A fault reply: the exception's class name in the exceptions' namespace.
HttpReply fault(int status, const std::string& name, const std::string& message, int code = 0) {
    XmlStream stream;
    stream.startElement(name);
    stream.attribute("xmlns", Faults::EXCEPTIONS_NAMESPACE);
    stream.attribute("message", message);
    if (code != 0) {
        stream.attribute("code", std::to_string(code));
        stream.attribute("level", "3");
    }
    stream.endElement();
    return HttpReply::withStatus(status, stream.str());
}

}  // namespace

LoopbackPlmService::LoopbackPlmService(int port) : server(port) {
    server.setIdleLimit(IDLE_LIMIT);
    server.script().setFallback([this](const HttpRequest& request) { return answer(request); });
}

std::string LoopbackPlmService::hostPath() const { return server.url() + "/tc"; }

void LoopbackPlmService::endSessions() {
    std::lock_guard<std::mutex> lock(mutex);
    sessions.clear();
}

void LoopbackPlmService::setLog(std::function<void(const std::string& line)> log) {
    std::lock_guard<std::mutex> lock(mutex);
    logLine = std::move(log);
}

std::vector<std::string> LoopbackPlmService::requests() const {
    std::vector<std::string> names;
    for (const HttpRequest& request : server.requests()) {
        const auto at = request.target.find("/RestServices/");
        names.push_back(at == std::string::npos ? request.target : request.target.substr(at + 14));
    }
    return names;
}

void LoopbackPlmService::log(const std::string& line) {
    std::function<void(const std::string&)> sink;
    {
        std::lock_guard<std::mutex> lock(mutex);
        sink = logLine;
    }
    if (sink) sink(line);
}

bool LoopbackPlmService::hasSession(const HttpRequest& request) {
    const std::string cookies = request.header("Cookie").value_or("");
    const auto at = cookies.find(SESSION_COOKIE);
    if (at == std::string::npos) return false;
    const auto start = at + sizeof SESSION_COOKIE - 1;
    const std::string id = cookies.substr(start, cookies.find(';', start) - start);
    std::lock_guard<std::mutex> lock(mutex);
    return sessions.count(id) != 0;
}

HttpReply LoopbackPlmService::answer(const HttpRequest& request) {
    const auto at = request.target.find("/RestServices/");
    const std::string call = at == std::string::npos ? "" : request.target.substr(at + 14);
    try {
        if (call == "Core-2006-03-Session/login") return login(request.body);
        if (!hasSession(request)) {
            log("no session for " + call + ": refused");
            return fault(401, "InvalidUserException", "The session is not valid any more.", 515001);
        }
        if (call == "Core-2007-01-Session/setObjectPropertyPolicy") {
            SAXToNodeParser parser;
            Session2007::SetObjectPropertyPolicyInput input;
            input.parse(parser.parseString(request.body));
            log("object-property policy " + input.getPolicyName());
            return HttpReply::ok("<setObjectPropertyPolicyResponse/>");
        }
        if (call == "Internal-Core-2006-03-Types/getTypeDescriptions") {
            return typeDescriptions(request.body);
        }
        if (call == std::string(QUERY_SERVICE) + "/" + QUERY_OPERATION) {
            return findFolder(request.body);
        }
        log("unknown operation " + call);
        return fault(500, "ServiceException", "No such operation: " + call);
    } catch (const std::exception& e) {
        return fault(500, "InternalServerException", e.what());
    } catch (...) {
        return fault(500, "InternalServerException", "The request could not be read.");
    }
}

HttpReply LoopbackPlmService::login(const std::string& body) {
    SAXToNodeParser parser;
    Session2006::LoginInput input;
    input.parse(parser.parseString(body));
    if (input.getUsername() != USER || input.getPassword() != PASSWORD) {
        log("login of " + input.getUsername() + " refused");
        return fault(401, "InvalidCredentialsException", "Invalid user ID or password.");
    }
    std::string session;
    {
        std::lock_guard<std::mutex> lock(mutex);
        session = std::to_string(++lastSession);
        sessions.insert(session);
    }
    log("login of " + input.getUsername() + " accepted, session " + session);

    Session2006::LoginResponse response;
    response.setUser(Object(DESIGNER, "User")
                         .text("user_id", USER)
                         .text("user_name", "Dana Designer")
                         .references("home_folder", HOME_FOLDER, {HOME})
                         .wire());
    HttpReply reply = HttpReply::ok(document(response, "loginResponse"));
    reply.headers.push_back("Set-Cookie: " + std::string(SESSION_COOKIE) + session + "; Path=/");
    return reply;
}

// The described types and all their ancestors, so that one request
// describes a whole chain.
HttpReply LoopbackPlmService::typeDescriptions(const std::string& body) {
    SAXToNodeParser parser;
    const auto& root = parser.parseString(body);
    std::set<std::string> names;
    std::string asked;
    for (const auto* child : root.getChildren()) {
        const std::string* name = child->findAttribute("value");
        if (name == nullptr) continue;
        asked += (asked.empty() ? "" : ", ") + *name;
        for (const TypeShape* type = findType(*name); type != nullptr;
             type = findType(type->parent)) {
            names.insert(type->name);
        }
    }
    Base::ModelSchema schema;
    for (const std::string& name : names) schema.addType(describe(*findType(name)));
    log("type descriptions of " + asked);
    return HttpReply::ok(document(schema, "modelSchema"));
}

HttpReply LoopbackPlmService::findFolder(const std::string& body) {
    SAXToNodeParser parser;
    const std::string* name = parser.parseString(body).findAttribute("folderName");
    const std::string folder = name == nullptr ? "" : *name;
    if (folder != HOME_FOLDER) {
        log("folder " + folder + ": no such folder");
        return fault(500, "ServiceException", "The folder \"" + folder + "\" does not exist.",
                     38015);
    }
    const Base::ServiceData data = homeFolder();
    log("folder " + folder + ": " + std::to_string(data.getDataObjectArray().size()) +
        " objects, " + std::to_string(data.getPartialErrorArray().size()) + " partial error");
    return HttpReply::ok(document(data, "serviceData"));
}

Quillomark::Soa::Client::ServiceData findFolder(Quillomark::Soa::Client::Connection& connection,
                                                const std::string& name) {
    XmlStream request;
    request.startElement("findFolderInput");
    request.attribute("folderName", name);
    request.endElement();
    SAXToNodeParser reply;
    Quillomark::Soa::Client::SessionManager::getSessionManager(&connection)
        ->getRestSender()
        ->invoke(LoopbackPlmService::QUERY_SERVICE, LoopbackPlmService::QUERY_OPERATION,
                 request.str(), reply);
    Base::ServiceData data;
    data.parse(reply.getRoot());
    return static_cast<Quillomark::Soa::Client::ModelManagerImpl*>(connection.getModelManager())
        ->loadServiceData(data);
}

}  // namespace Quillomark::Testing

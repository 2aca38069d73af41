// A server reply from its bytes to the object store: the parser, the
// exception mapper, the service-data and login-response wire types (and
// their XML written out and read back), loading the service data into a
// connection's store, whose type requests a test double answers, and then
// every read of every property of every object loaded.
//
// Input: the reply, then optionally a NUL byte and the model schema that
// answers each type request.

#include "tests/fuzz/FuzzCheck.hxx"
#include "tests/support/FakeSessionServices.hxx"

#include <soa/client/Connection.hxx>
#include <soa/client/ModelManagerImpl.hxx>
#include <soa/client/ModelObject.hxx>
#include <soa/client/NotLoadedException.hxx>
#include <soa/client/Property.hxx>
#include <soa/client/RuntimeException.hxx>
#include <soa/client/ServiceData.hxx>
#include <soa/common/BadLexicalCast.hxx>
#include <soa/common/DomException.hxx>
#include <soa/common/ExceptionMapper.hxx>
#include <soa/common/SAXToNodeParser.hxx>
#include <soa/common/XmlStream.hxx>
#include <soa/schemas/base/ModelSchema.hxx>
#include <soa/schemas/base/ServiceData.hxx>
#include <soa/schemas/core/LoginResponse.hxx>
#include <soa/schemas/exceptions/SoaException.hxx>

#include <algorithm>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

namespace Base = Quillomark::Schemas::Soa::_2006_03::Base;
namespace Client = Quillomark::Soa::Client;
namespace Faults = Quillomark::Schemas::Soa::_2006_03::Exceptions;
using Quillomark::Schemas::Core::_2006_03::Session::LoginResponse;
using Quillomark::Soa::Common::Exceptions::BadLexicalCast;
using Quillomark::Soa::Common::Exceptions::DomException;
using Quillomark::Soa::Common::Exceptions::ExceptionMapper;
using Quillomark::Soa::Common::Xml::SAXToNodeParser;
using Quillomark::Soa::Common::Xml::XMLNode;
using Quillomark::Soa::Common::Xml::XmlStream;

// Runs a read that may refuse in any of the ways the library documents.
template <class Read>
void tolerate(Read read) {
    try {
        read();
    } catch (const Client::RuntimeException&) {
    } catch (const Client::NotLoadedException&) {
    } catch (const BadLexicalCast&) {
    } catch (const DomException&) {
    }
}

// The wire value written out, or nothing when it holds text XML cannot
// carry.
template <class Wire>
std::optional<std::string> written(const Wire& value, const char* element) {
    XmlStream out;
    try {
        value.outputXML(out, element);
    } catch (const DomException&) {
        return std::nullopt;
    }
    return out.str();
}

// What a value writes reads back into a value that writes the same.
template <class Wire>
void checkRoundTrip(const Wire& value, const char* element) {
    const std::optional<std::string> first = written(value, element);
    if (!first) return;
    SAXToNodeParser parser;
    Wire again;
    again.parse(parser.parseString(*first));
    FUZZ_CHECK(written(again, element) == first);
}

// A document read is no larger than its text allows: entities do not
// multiply it (UTF-8 from Latin-1 or UTF-16 text is at most twice the bytes)
// and its elements nest no deeper than the parser's limit.
void checkTreeBounds(const XMLNode& root, std::size_t documentSize) {
    std::size_t bytes = 0;
    std::vector<std::pair<const XMLNode*, std::size_t>> open{{&root, 1}};
    while (!open.empty()) {
        const auto [node, depth] = open.back();
        open.pop_back();
        FUZZ_CHECK(depth <= SAXToNodeParser::MAX_DEPTH);
        bytes += node->getText().size();
        for (const auto& attribute : node->attrs()) bytes += attribute.second.size();
        for (const XMLNode* child : node->getChildren()) open.emplace_back(child, depth + 1);
    }
    FUZZ_CHECK(bytes <= 2 * documentSize);
}

void readEveryProperty(Client::ModelObject& object) {
    (void)object.getUid();
    (void)object.getType();
    for (const std::string& name : object.getPropertyNames()) {
        Client::Property* property = object.getProperty(name);
        FUZZ_CHECK(property != nullptr);
        tolerate([&] { (void)property->getDisplayValue(); });
        tolerate([&] { (void)property->getPropertyDescription(); });
        tolerate([&] { (void)property->getCharValue(); });
        tolerate([&] { (void)property->getDateValue(); });
        tolerate([&] { (void)property->getDoubleValue(); });
        tolerate([&] { (void)property->getFloatValue(); });
        tolerate([&] { (void)property->getIntValue(); });
        tolerate([&] { (void)property->getBooleanValue(); });
        tolerate([&] { (void)property->getShortValue(); });
        tolerate([&] { (void)property->getStringValue(); });
        tolerate([&] { (void)property->getModelObjectValue(); });
        tolerate([&] { (void)property->getCharArrayValue(); });
        tolerate([&] { (void)property->getDateArrayValue(); });
        tolerate([&] { (void)property->getDoubleArrayValue(); });
        tolerate([&] { (void)property->getFloatArrayValue(); });
        tolerate([&] { (void)property->getIntArrayValue(); });
        tolerate([&] { (void)property->getBooleanArrayValue(); });
        tolerate([&] { (void)property->getShortArrayValue(); });
        tolerate([&] { (void)property->getStringArrayValue(); });
        tolerate([&] { (void)property->getModelObjectArrayValue(); });
    }
}

void load(const Base::ServiceData& wire, const std::string& schemaText) {
    Client::Connection connection("http://127.0.0.1:1/tc", nullptr, Client::Connection::HTTP,
                                  Client::Connection::REST, true);
    auto& manager = *static_cast<Client::ModelManagerImpl*>(connection.getModelManager());
    auto* types = Quillomark::Testing::FakeInternalSessionService::install(connection);
    types->behaviour = [&](const std::vector<std::string>&) {
        if (schemaText.empty()) return;
        SAXToNodeParser parser;
        Base::ModelSchema schema;
        schema.parse(parser.parseString(schemaText));
        manager.loadModelSchema(schema);
    };
    Client::ServiceData loaded;
    try {
        loaded = manager.loadServiceData(wire);
    } catch (const Client::RuntimeException&) {
        return;
    } catch (const DomException&) {
        return;
    }
    for (const auto& error : loaded.getPartialErrors()) {
        for (int i = 0; i < error.getErrorValueCount(); ++i) (void)error.getErrorValue(i).message;
    }
    std::set<std::string> seen;
    for (const Base::ModelObject& object : wire.getDataObjectArray()) {
        if (!seen.insert(object.getUid()).second) continue;
        Client::ModelObject* stored = nullptr;
        tolerate([&] { stored = manager.getObject(object.getUid()); });
        if (stored != nullptr) readEveryProperty(*stored);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    const std::size_t split = std::find(text, text + size, '\0') - text;
    const std::string reply(text, split);
    const std::string schema = split < size ? std::string(text + split + 1, size - split - 1) : "";

    SAXToNodeParser parser;
    try {
        checkTreeBounds(parser.parseString(reply), reply.size());
        ExceptionMapper::parseExceptionString(parser);
    } catch (const DomException&) {
        return 0;
    } catch (const Faults::SoaException&) {
        return 0;
    }
    Base::ServiceData serviceData;
    LoginResponse login;
    try {
        serviceData.parse(parser.getRoot());
        login.parse(parser.getRoot());
    } catch (const DomException&) {
        return 0;
    } catch (const BadLexicalCast&) {
        return 0;
    }
    checkRoundTrip(serviceData, "serviceData");
    checkRoundTrip(login, "loginResponse");
    load(serviceData, schema);
    load(login.getServiceData(), schema);
    return 0;
}

#include <soa/common/ExceptionMapper.hxx>
#include <soa/common/SAXToNodeParser.hxx>
#include <soa/schemas/exceptions/ConnectionException.hxx>
#include <soa/schemas/exceptions/InternalServerException.hxx>
#include <soa/schemas/exceptions/InvalidCredentialsException.hxx>
#include <soa/schemas/exceptions/InvalidUserException.hxx>
#include <soa/schemas/exceptions/ProtocolException.hxx>
#include <soa/schemas/exceptions/ServiceException.hxx>
#include <soa/schemas/exceptions/SoaException.hxx>

#include <platform/common/internal/WireXml.hxx>

#include <charconv>
#include <climits>
#include <cstring>

namespace Quillomark::Soa::Common::Exceptions {

namespace Faults = Quillomark::Schemas::Soa::_2006_03::Exceptions;
using Quillomark::Soa::Common::Xml::XMLNode;

namespace {

// Absent attributes read as "" and 0.
std::string stringAttribute(const XMLNode& node, const std::string& name) {
    std::string value;
    Xml::Internal::AttributeReader(node).read(name, value);
    return value;
}

// The fault's element alone decides its kind, so its numbers are read
// leniently: a whole number beyond an int is the nearest int, and a text
// that is no whole number (blanks around one are allowed, as XML Schema's
// integers allow them) counts as a number left out, 0.
int intAttribute(const XMLNode& node, const std::string& name) {
    const std::string* text = node.findAttribute(name);
    if (text == nullptr) return 0;
    const char* blanks = " \t\r\n";
    const std::size_t first = text->find_first_not_of(blanks);
    if (first == std::string::npos) return 0;
    const char* begin = text->data() + first;
    const char* end = text->data() + text->find_last_not_of(blanks) + 1;
    if (*begin == '+' && end - begin > 1 && std::strchr("+-", begin[1]) == nullptr) ++begin;
    int value = 0;
    const auto [stop, error] = std::from_chars(begin, end, value);
    if (stop != end) return 0;
    if (error == std::errc::result_out_of_range) return *begin == '-' ? INT_MIN : INT_MAX;
    return error == std::errc() ? value : 0;
}

template <typename Fault>
[[noreturn]] void raise(const XMLNode& node) {
    throw Fault(stringAttribute(node, "message"));
}

[[noreturn]] void raiseInvalidUser(const XMLNode& node) {
    Faults::InvalidUserException fault(stringAttribute(node, "message"));
    fault.setCode(intAttribute(node, "code"));
    fault.setLevel(intAttribute(node, "level"));
    fault.setUserId(stringAttribute(node, "userId"));
    throw fault;
}

[[noreturn]] void raiseService(const XMLNode& node) {
    Faults::ServiceException fault(stringAttribute(node, "message"));
    std::vector<std::string> messages;
    for (const XMLNode* child : node.getChildren()) {
        if (child->getName() == "messages") messages.push_back(stringAttribute(*child, "value"));
    }
    fault.setMessages(messages);
    fault.setClientId(stringAttribute(node, "clientId"));
    fault.setCode(intAttribute(node, "code"));
    fault.setUid(stringAttribute(node, "uid"));
    fault.setLevel(intAttribute(node, "level"));
    throw fault;
}

}  // namespace

void ExceptionMapper::parseExceptionString(Quillomark::Soa::Common::Xml::SAXToNodeParser& parser) {
    const XMLNode& root = parser.getRoot();
    if (root.getNamespace() != Faults::EXCEPTIONS_NAMESPACE) return;
    const std::string& name = root.getName();
    if (name == "InvalidUserException") raiseInvalidUser(root);
    if (name == "InvalidCredentialsException") raise<Faults::InvalidCredentialsException>(root);
    if (name == "InternalServerException") raise<Faults::InternalServerException>(root);
    if (name == "ConnectionException") raise<Faults::ConnectionException>(root);
    if (name == "ProtocolException") raise<Faults::ProtocolException>(root);
    if (name == "SoaException") raise<Faults::SoaException>(root);
    raiseService(root);
}

}  // namespace Quillomark::Soa::Common::Exceptions

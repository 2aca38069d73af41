#include <soa/common/BadLexicalCast.hxx>
#include <soa/common/DateTime.hxx>
#include <soa/common/DomException.hxx>
#include <soa/common/QmStrX.hxx>
#include <soa/common/XMLNode.hxx>

#include <platform/common/internal/Utf16.hxx>
#include <platform/os/internal/Forks.hxx>

#include <tuple>

namespace Quillomark::Soa::Common {

DateTime::DateTime() : DateTime(0, 0, 0, 0, 0, 0) {}

DateTime::DateTime(int year, int month, int day, int hour, int minute, int second)
    : yearValue(year),
      monthValue(month),
      dayValue(day),
      hourValue(hour),
      minuteValue(minute),
      secondValue(second) {}

namespace {
auto fields(const DateTime& d) {
    return std::make_tuple(d.year(), d.month(), d.day(), d.hour(), d.minute(), d.second());
}
}  // namespace

bool DateTime::operator==(const DateTime& other) const { return fields(*this) == fields(other); }
bool DateTime::operator<(const DateTime& other) const { return fields(*this) < fields(other); }
bool DateTime::operator>(const DateTime& other) const { return fields(*this) > fields(other); }

}  // namespace Quillomark::Soa::Common

namespace Quillomark::Soa::Common::Exceptions {

DomException::DomException() = default;
DomException::DomException(const std::string& message) : message(message) {}
void DomException::setMessage(const std::string& value) { message = value; }
const std::string& DomException::getMessage() const { return message; }

BadLexicalCast::BadLexicalCast(const std::string& message) : message(message) {}
BadLexicalCast::~BadLexicalCast() = default;
const char* BadLexicalCast::what() const noexcept { return message.c_str(); }

}  // namespace Quillomark::Soa::Common::Exceptions

namespace Quillomark::Soa::Common::Xml {

QmStrX::QmStrX(const XMLCh* const source) { Internal::appendUtf8(text, source); }

namespace {

// Never destroyed: replies may still be read on other threads while the
// process exits.
Quillomark::Platform::Os::ProcessObject<std::string> emptyText;

}  // namespace

const std::string* XMLNode::empty() { return emptyText.get(); }

XMLNode::XMLNode(const XMLNode& other)
    : name(other.name),
      namespaceUri(other.namespaceUri),
      children(other.children),
      text(other.text),
      attributes(other.attributes),
      line(other.line),
      attributeCount(other.attributeCount) {}

XMLNode& XMLNode::operator=(const XMLNode& other) {
    if (this != &other) {
        name = other.name;
        namespaceUri = other.namespaceUri;
        children = other.children;
        text = other.text;
        attributes = other.attributes;
        line = other.line;
        attributeCount = other.attributeCount;
        attributeMap.reset();
    }
    return *this;
}

XMLNode::~XMLNode() = default;

const std::map<std::string, std::string>& XMLNode::attrs() const {
    if (!attributeMap) {
        auto map = std::make_unique<std::map<std::string, std::string>>();
        for (std::uint32_t i = 0; i < attributeCount; ++i) {
            map->emplace(*attributes[i].name, attributes[i].value);
        }
        attributeMap = std::move(map);
    }
    return *attributeMap;
}

// Elements have few attributes: a scan beats a search tree.
const std::string* XMLNode::findAttribute(const std::string& attributeName) const {
    for (std::uint32_t i = 0; i < attributeCount; ++i) {
        if (*attributes[i].name == attributeName) return &attributes[i].value;
    }
    return nullptr;
}

const XMLNode* XMLNode::findChild(const std::string& childName) const {
    for (const XMLNode* child : children) {
        if (*child->name == childName) return child;
    }
    return nullptr;
}

}  // namespace Quillomark::Soa::Common::Xml

#include <soa/common/BadLexicalCast.hxx>
#include <soa/common/DateTime.hxx>
#include <soa/common/DomException.hxx>
#include <soa/common/QmStrX.hxx>
#include <soa/common/XMLNode.hxx>

#include <platform/common/internal/Utf16.hxx>

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

const std::string* XMLNode::findAttribute(const std::string& attributeName) const {
    auto found = attributes.find(attributeName);
    return found == attributes.end() ? nullptr : &found->second;
}

const XMLNode* XMLNode::findChild(const std::string& childName) const {
    for (const XMLNode* child : children) {
        if (child->name == childName) return child;
    }
    return nullptr;
}

}  // namespace Quillomark::Soa::Common::Xml

#include <soa/client/Property.hxx>

#include <soa/client/ModelObject.hxx>
#include <soa/common/DateTime.hxx>
#include <soa/common/LexicalCast.hxx>

namespace Quillomark::Soa::Client {

using Quillomark::Soa::Common::Xml::lexical_cast;

Property::~Property() = default;

bool Property::parseBoolean(const std::string& text) { return lexical_cast<bool>(text); }
std::string Property::toBooleanString(bool value) { return lexical_cast<std::string>(value); }

char Property::parseChar(const std::string& text) {
    return static_cast<char>(lexical_cast<int>(text));
}
std::string Property::toCharString(char value) {
    // The signed value also where plain char is unsigned.
    return lexical_cast<std::string>(static_cast<int>(static_cast<signed char>(value)));
}

Property::DateTime Property::parseDate(const std::string& text) {
    return lexical_cast<DateTime>(text);
}
std::string Property::toDateString(const DateTime& value) {
    return lexical_cast<std::string>(value);
}

double Property::parseDouble(const std::string& text) { return lexical_cast<double>(text); }
std::string Property::toDoubleString(double value) { return lexical_cast<std::string>(value); }

float Property::parseFloat(const std::string& text) { return lexical_cast<float>(text); }
std::string Property::toFloatString(float value) { return lexical_cast<std::string>(value); }

int Property::parseInt(const std::string& text) { return lexical_cast<int>(text); }
std::string Property::toIntString(int value) { return lexical_cast<std::string>(value); }

short Property::parseShort(const std::string& text) {
    return static_cast<short>(lexical_cast<int>(text));
}
std::string Property::toShortString(short value) {
    return lexical_cast<std::string>(static_cast<int>(value));
}

std::string Property::toModelObjectString(const ModelObject& object) { return object.getUid(); }

}  // namespace Quillomark::Soa::Client

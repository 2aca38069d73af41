// The text conversions of the wire layer, each against a plain reference:
// the lexical casts and their round trips, date-times and their order, the
// UTF-8 repair of request text, UTF-16 parser strings to UTF-8, and an
// attribute value written by XmlStream and read back by the parser.
//
// Input: one byte that picks the conversion, then its text.

#include "tests/fuzz/FuzzCheck.hxx"

#include <platform/common/internal/Utf16.hxx>
#include <soa/common/BadLexicalCast.hxx>
#include <soa/common/DateTime.hxx>
#include <soa/common/DomException.hxx>
#include <soa/common/LexicalCast.hxx>
#include <soa/common/SAXToNodeParser.hxx>
#include <soa/common/Utf8String.hxx>
#include <soa/common/XmlStream.hxx>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace {

using Quillomark::Soa::Common::DateTime;
using Quillomark::Soa::Common::Exceptions::BadLexicalCast;
using Quillomark::Soa::Common::Exceptions::DomException;
using Quillomark::Soa::Common::Xml::lexical_cast;
using Quillomark::Soa::Common::Xml::SAXToNodeParser;
using Quillomark::Soa::Common::Xml::Utf8String;
using Quillomark::Soa::Common::Xml::XmlStream;

template <typename T>
std::optional<T> cast(const std::string& text) {
    try {
        return lexical_cast<T>(text);
    } catch (const BadLexicalCast& e) {
        FUZZ_CHECK(e.getMessage().find(text) != std::string::npos);
        return std::nullopt;
    }
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// ---- Numbers ---------------------------------------------------------------

void checkInt(const std::string& text) {
    std::optional<long long> expected;
    if (text.empty()) {
        expected = 0;
    } else {
        const bool negative = text[0] == '-';
        std::size_t digits = negative ? 1 : 0;
        bool ok = digits < text.size();
        long long value = 0;
        for (std::size_t i = digits; ok && i < text.size(); ++i) {
            ok = isDigit(text[i]) && value <= 3000000000LL;
            value = value * 10 + (text[i] - '0');
        }
        if (negative) value = -value;
        if (ok && value >= -2147483648LL && value <= 2147483647LL) expected = value;
    }
    const std::optional<int> got = cast<int>(text);
    FUZZ_CHECK(got.has_value() == expected.has_value());
    if (!got) return;
    FUZZ_CHECK(*got == *expected);
    FUZZ_CHECK(lexical_cast<std::string>(*got) == std::to_string(*got));
}

bool sameNumber(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return a == b && std::signbit(a) == std::signbit(b);
}

template <typename Number>
void checkFloating(const std::string& text) {
    const std::optional<Number> got = cast<Number>(text);
    if (got) {
        // Whatever is read is read as the C library reads the same text
        // (blanks and hexadecimal forms, which it takes, are refused).
        if (!text.empty()) {
            FUZZ_CHECK(text.find_first_of(" \t\n\r\v\fxX") == std::string::npos);
            const std::string copy = text;  // terminated for strtod
            char* end = nullptr;
            const double reference = std::is_same_v<Number, float>
                                         ? static_cast<double>(std::strtof(copy.c_str(), &end))
                                         : std::strtod(copy.c_str(), &end);
            FUZZ_CHECK(end == copy.c_str() + copy.size());
            // The C library may round a value below the smallest denormal
            // differently; anything else must agree.
            if (std::fabs(reference) > 1e-300 || reference == 0) {
                FUZZ_CHECK(sameNumber(static_cast<double>(*got), reference));
            }
        }
        const std::string written = lexical_cast<std::string>(*got);
        FUZZ_CHECK(sameNumber(static_cast<double>(lexical_cast<Number>(written)),
                              static_cast<double>(*got)));
    }
    // Every value of the type reads back from its written form.
    if (text.size() >= sizeof(Number)) {
        Number value;
        std::memcpy(&value, text.data(), sizeof value);
        const std::string written = lexical_cast<std::string>(value);
        FUZZ_CHECK(written.size() <= 32);
        FUZZ_CHECK(sameNumber(static_cast<double>(lexical_cast<Number>(written)),
                              static_cast<double>(value)));
    }
}

void checkBool(const std::string& text) {
    const std::optional<bool> got = cast<bool>(text);
    if (text.empty() || text == "false" || text == "0") {
        FUZZ_CHECK(got == std::optional<bool>(false));
    } else if (text == "true" || text == "1") {
        FUZZ_CHECK(got == std::optional<bool>(true));
    } else {
        FUZZ_CHECK(!got);
    }
}

// ---- Dates -------------------------------------------------------------------

// Matches text against a pattern in which '9' stands for a digit.
bool shaped(const std::string& text, std::size_t at, const char* pattern) {
    const std::size_t length = std::strlen(pattern);
    if (at + length > text.size()) return false;
    for (std::size_t i = 0; i < length; ++i) {
        const char c = text[at + i];
        if (pattern[i] == '9' ? !isDigit(c) : c != pattern[i]) return false;
    }
    return true;
}

int number(const std::string& text, std::size_t at, std::size_t count) {
    return std::atoi(text.substr(at, count).c_str());
}

std::optional<DateTime> referenceDate(const std::string& text) {
    if (text.empty()) return DateTime();
    if (!shaped(text, 0, "9999-99-99T99:99:99")) return std::nullopt;
    std::size_t at = 19;
    if (at < text.size() && text[at] == '.') {
        const std::size_t digits = ++at;
        while (at < text.size() && isDigit(text[at])) ++at;
        if (at == digits) return std::nullopt;
    }
    const std::string zone = text.substr(at);
    const bool zoneOk =
        zone.empty() || zone == "Z" ||
        (zone.size() == 6 && (zone[0] == '+' || zone[0] == '-') && shaped(zone, 1, "99:99") &&
         number(zone, 1, 2) <= 23 && number(zone, 4, 2) <= 59);
    if (!zoneOk) return std::nullopt;
    const int year = number(text, 0, 4), month = number(text, 5, 2), day = number(text, 8, 2);
    const int hour = number(text, 11, 2), minute = number(text, 14, 2);
    const int second = number(text, 17, 2);
    if (year != 0 || month != 0 || day != 0) {
        if (month < 1 || month > 12 || day < 1) return std::nullopt;
        int last = 31;
        if (month == 4 || month == 6 || month == 9 || month == 11) last = 30;
        if (month == 2) {
            const bool leap = year % 400 == 0 || (year % 4 == 0 && year % 100 != 0);
            last = leap ? 29 : 28;
        }
        if (day > last) return std::nullopt;
    }
    if (hour > 23 || minute > 59 || second > 60) return std::nullopt;
    return DateTime(year, month, day, hour, minute, second);
}

void checkDate(const std::string& text) {
    const std::optional<DateTime> expected = referenceDate(text);
    const std::optional<DateTime> got = cast<DateTime>(text);
    FUZZ_CHECK(got.has_value() == expected.has_value());
    if (!got) return;
    FUZZ_CHECK(*got == *expected);
    const std::string written = lexical_cast<std::string>(*got);
    FUZZ_CHECK(written == (text.empty() ? "0000-00-00T00:00:00" : text.substr(0, 19)));
    FUZZ_CHECK(lexical_cast<DateTime>(written) == *got);
}

// A date is written when, and only when, the text form carries its fields,
// and what is written reads back as the same date.
void checkDateWritten(const DateTime& date) {
    char plain[96];
    std::snprintf(plain, sizeof plain, "%04d-%02d-%02dT%02d:%02d:%02d", date.year(), date.month(),
                  date.day(), date.hour(), date.minute(), date.second());
    const std::optional<DateTime> readBack = referenceDate(plain);
    const bool carried = readBack.has_value() && *readBack == date;
    try {
        const std::string written = lexical_cast<std::string>(date);
        FUZZ_CHECK(carried && written == plain);
    } catch (const BadLexicalCast&) {
        FUZZ_CHECK(!carried);
    }
}

// The order of two dates made of the input's bytes: field by field; and
// each of them written.
void checkDateOrder(const std::string& text) {
    if (text.size() < 12) return;
    auto field = [&](std::size_t i) { return static_cast<int>(static_cast<signed char>(text[i])); };
    const DateTime a(field(0), field(1), field(2), field(3), field(4), field(5));
    const DateTime b(field(6), field(7), field(8), field(9), field(10), field(11));
    const auto ta = std::make_tuple(a.year(), a.month(), a.day(), a.hour(), a.minute(), a.second());
    const auto tb = std::make_tuple(b.year(), b.month(), b.day(), b.hour(), b.minute(), b.second());
    FUZZ_CHECK((a < b) == (ta < tb));
    FUZZ_CHECK((a > b) == (ta > tb));
    FUZZ_CHECK((a == b) == (ta == tb));
    FUZZ_CHECK((a <= b) == (ta <= tb) && (a >= b) == (ta >= tb) && (a != b) == (ta != tb));
    checkDateWritten(a);
    checkDateWritten(b);
}

// ---- Text --------------------------------------------------------------------

void appendCodePoint(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// The code point of the well-formed UTF-8 sequence at `at` and its length,
// decoded by value: a sequence is valid when its value needs exactly its
// length and is a Unicode scalar value.
std::optional<std::pair<char32_t, std::size_t>> decodeAt(const std::string& text, std::size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    const std::size_t length = lead < 0x80    ? 1
                               : lead >= 0xF0 ? 4
                               : lead >= 0xE0 ? 3
                               : lead >= 0xC0 ? 2
                                              : 0;
    if (length == 0 || lead > 0xF7 || at + length > text.size()) return std::nullopt;
    char32_t value = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xC0) != 0x80) return std::nullopt;
        value = (value << 6) | (next & 0x3F);
    }
    static const char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < smallest[length] || value > 0x10FFFF) return std::nullopt;
    if (value >= 0xD800 && value <= 0xDFFF) return std::nullopt;
    return std::make_pair(value, length);
}

// Request text made UTF-8: valid sequences stay, any other byte is taken
// as a Latin-1 character.
std::string referenceRepair(const std::string& text, std::vector<char32_t>& codePoints) {
    std::string out;
    for (std::size_t at = 0; at < text.size();) {
        const auto decoded = decodeAt(text, at);
        const char32_t c = decoded ? decoded->first : static_cast<unsigned char>(text[at]);
        appendCodePoint(out, c);
        codePoints.push_back(c);
        at += decoded ? decoded->second : 1;
    }
    return out;
}

void checkUtf8Repair(const std::string& text) {
    std::vector<char32_t> codePoints;
    const std::string expected = referenceRepair(text, codePoints);
    FUZZ_CHECK(Utf8String::encode(text) == expected);
    FUZZ_CHECK(Utf8String::encode(expected) == expected);
}

void checkUtf16(const std::string& text) {
    std::u16string units(text.size() / 2, u'\0');
    std::memcpy(units.data(), text.data(), units.size() * 2);
    std::string expected;
    for (std::size_t i = 0; i < units.size(); ++i) {
        char32_t c = units[i];
        const bool high = c >= 0xD800 && c <= 0xDBFF;
        if (high && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (units[++i] - 0xDC00);
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        appendCodePoint(expected, c);
    }
    std::string got = "prefix";
    Quillomark::Soa::Common::Xml::Internal::appendUtf8(got, units.data(), units.size());
    FUZZ_CHECK(got == "prefix" + expected);
    // The zero-terminated form stops at the first zero unit.
    const std::size_t zero = units.find(u'\0');
    if (zero != std::u16string::npos) {
        std::string terminated;
        Quillomark::Soa::Common::Xml::Internal::appendUtf8(terminated, units.c_str());
        std::string upToZero;
        Quillomark::Soa::Common::Xml::Internal::appendUtf8(upToZero, units.data(), zero);
        FUZZ_CHECK(terminated == upToZero);
    }
}

// Whether XML can carry the character in an attribute value.
bool xmlCharacter(char32_t c) {
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c != 0xFFFE && c != 0xFFFF);
}

void checkXmlRoundTrip(const std::string& text) {
    std::vector<char32_t> codePoints;
    const std::string value = referenceRepair(text, codePoints);
    bool writable = true;
    for (char32_t c : codePoints) writable = writable && xmlCharacter(c);

    XmlStream out;
    out.startElement("a");
    try {
        out.attribute("v", value);
    } catch (const DomException&) {
        FUZZ_CHECK(!writable);
        return;
    }
    FUZZ_CHECK(writable);
    out.startElement("b");
    out.attribute("w", value);
    out.endElement();
    out.endElement();
    SAXToNodeParser parser;
    const auto& root = parser.parseString(out.str());
    FUZZ_CHECK(root.attrs().at("v") == value);
    FUZZ_CHECK(root.getChildren().size() == 1);
    FUZZ_CHECK(root.getChildren()[0]->attrs().at("w") == value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 10) {
        case 0: checkInt(text); break;
        case 1: checkFloating<double>(text); break;
        case 2: checkFloating<float>(text); break;
        case 3: checkBool(text); break;
        case 4: checkDate(text); break;
        case 5: checkDateOrder(text); break;
        case 6: checkUtf8Repair(text); break;
        case 7: checkUtf16(text); break;
        default: checkXmlRoundTrip(text); break;
    }
    return 0;
}

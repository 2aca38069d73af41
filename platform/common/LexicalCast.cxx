#include <soa/common/BadLexicalCast.hxx>
#include <soa/common/LexicalCast.hxx>

#include <charconv>
#include <string_view>
#include <system_error>

namespace Quillomark::Soa::Common::Xml {

using Quillomark::Soa::Common::DateTime;
using Quillomark::Soa::Common::Exceptions::BadLexicalCast;

namespace {

[[noreturn]] void reject(const char* typeName, const std::string& text) {
    throw BadLexicalCast(std::string("Cannot convert \"") + text + "\" to " + typeName);
}

template <typename Number>
Number parseNumber(const std::string& text, const char* typeName) {
    if (text.empty()) return Number();
    Number value{};
    const char* first = text.data();
    const char* last = first + text.size();
    std::from_chars_result result;
    if constexpr (std::is_floating_point_v<Number>) {
        result = std::from_chars(first, last, value, std::chars_format::general);
    } else {
        result = std::from_chars(first, last, value);
    }
    if (result.ec != std::errc() || result.ptr != last) reject(typeName, text);
    return value;
}

template <typename Number>
std::string formatNumber(Number value) {
    char buffer[64];
    std::to_chars_result result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

// Reads exactly `count` decimal digits at `pos`.
bool readDigits(const std::string& text, std::size_t& pos, std::size_t count, int& value) {
    if (pos + count > text.size()) return false;
    value = 0;
    for (std::size_t i = 0; i < count; ++i) {
        char c = text[pos + i];
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    pos += count;
    return true;
}

bool expect(const std::string& text, std::size_t& pos, char c) {
    if (pos >= text.size() || text[pos] != c) return false;
    ++pos;
    return true;
}

int daysInMonth(int year, int month) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

// Whether the fields make a date that the text form carries: a year of
// four digits, a month and a day of the calendar, or the "no date" value
// (year, month and day all 0), and a time of day with room for a leap
// second.
bool carriesDate(int year, int month, int day, int hour, int minute, int second) {
    if (year < 0 || year > 9999) return false;
    const bool noDate = year == 0 && month == 0 && day == 0;
    if (!noDate && (month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month))) {
        return false;
    }
    return hour >= 0 && hour <= 23 && minute >= 0 && minute <= 59 && second >= 0 && second <= 60;
}

bool parseDateTime(const std::string& text, DateTime& result) {
    std::size_t pos = 0;
    int year, month, day, hour, minute, second;
    if (!readDigits(text, pos, 4, year) || !expect(text, pos, '-') ||
        !readDigits(text, pos, 2, month) || !expect(text, pos, '-') ||
        !readDigits(text, pos, 2, day) || !expect(text, pos, 'T') ||
        !readDigits(text, pos, 2, hour) || !expect(text, pos, ':') ||
        !readDigits(text, pos, 2, minute) || !expect(text, pos, ':') ||
        !readDigits(text, pos, 2, second)) {
        return false;
    }
    if (pos < text.size() && text[pos] == '.') {
        std::size_t start = ++pos;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') ++pos;
        if (pos == start) return false;
    }
    if (pos < text.size()) {
        if (text[pos] == 'Z') {
            ++pos;
        } else if (text[pos] == '+' || text[pos] == '-') {
            int zoneHour, zoneMinute;
            ++pos;
            if (!readDigits(text, pos, 2, zoneHour) || !expect(text, pos, ':') ||
                !readDigits(text, pos, 2, zoneMinute) || zoneHour > 23 || zoneMinute > 59) {
                return false;
            }
        }
    }
    if (pos != text.size()) return false;
    if (!carriesDate(year, month, day, hour, minute, second)) return false;
    result = DateTime(year, month, day, hour, minute, second);
    return true;
}

}  // namespace

template <>
int lexical_cast<int, std::string>(const std::string& text) {
    return parseNumber<int>(text, "int");
}

template <>
double lexical_cast<double, std::string>(const std::string& text) {
    return parseNumber<double>(text, "double");
}

template <>
float lexical_cast<float, std::string>(const std::string& text) {
    return parseNumber<float>(text, "float");
}

template <>
bool lexical_cast<bool, std::string>(const std::string& text) {
    // Compared as views: the sizes first, with no call per literal.
    const std::string_view view(text);
    if (view.empty() || view == "false" || view == "0") return false;
    if (view == "true" || view == "1") return true;
    reject("bool", text);
}

template <>
DateTime lexical_cast<DateTime, std::string>(const std::string& text) {
    DateTime result;
    if (!text.empty() && !parseDateTime(text, result)) reject("DateTime", text);
    return result;
}

template <>
std::string lexical_cast<std::string, int>(const int& value) {
    return formatNumber(value);
}

template <>
std::string lexical_cast<std::string, double>(const double& value) {
    return formatNumber(value);
}

template <>
std::string lexical_cast<std::string, float>(const float& value) {
    return formatNumber(value);
}

template <>
std::string lexical_cast<std::string, bool>(const bool& value) {
    return value ? "true" : "false";
}

template <>
std::string lexical_cast<std::string, DateTime>(const DateTime& value) {
    // A date is written only as text that reads back as the same date.
    const int fields[] = {value.year(), value.month(),  value.day(),
                          value.hour(), value.minute(), value.second()};
    if (!carriesDate(fields[0], fields[1], fields[2], fields[3], fields[4], fields[5])) {
        std::string shown;
        for (int field : fields) shown += (shown.empty() ? "" : ", ") + formatNumber(field);
        throw BadLexicalCast("Cannot convert DateTime(" + shown + ") to string");
    }
    static const int widths[] = {4, 2, 2, 2, 2, 2};
    static const char separators[] = "--T::";
    std::string text;
    text.reserve(19);
    for (std::size_t i = 0; i < 6; ++i) {
        if (i > 0) text += separators[i - 1];
        for (int unit = widths[i] == 4 ? 1000 : 10; unit > 0; unit /= 10) {
            text += static_cast<char>('0' + fields[i] / unit % 10);
        }
    }
    return text;
}

}  // namespace Quillomark::Soa::Common::Xml

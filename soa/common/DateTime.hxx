#pragma once

#include <soa/common/Export.hxx>

#include <cstdint>

namespace Quillomark::Soa::Common {

// A date and time of day as the server sends it, without a time zone.
// The default value has every field 0 (the "no date" value). Dates order
// field by field, from the year down to the second.
class QMSOA_API DateTime {
public:
    DateTime();
    DateTime(int year, int month, int day, int hour, int minute, int second);
    DateTime(const DateTime& other) = default;
    DateTime& operator=(const DateTime& other) = default;
    ~DateTime() = default;

    int year() const { return yearValue; }
    int month() const { return monthValue; }
    int day() const { return dayValue; }
    int hour() const { return hourValue; }
    int minute() const { return minuteValue; }
    int second() const { return secondValue; }

    bool operator==(const DateTime& other) const;
    bool operator<(const DateTime& other) const;
    bool operator>(const DateTime& other) const;
    bool operator!=(const DateTime& other) const { return !(*this == other); }
    bool operator>=(const DateTime& other) const { return !(*this < other); }
    bool operator<=(const DateTime& other) const { return !(*this > other); }

private:
    std::int32_t yearValue;
    std::int32_t monthValue;
    std::int32_t dayValue;
    std::int32_t hourValue;
    std::int32_t minuteValue;
    std::int32_t secondValue;
};

}  // namespace Quillomark::Soa::Common

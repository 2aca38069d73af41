#pragma once

#include <soa/common/DateTime.hxx>
#include <soa/common/Export.hxx>

#include <string>

namespace Quillomark::Soa::Common::Xml {

// Conversions between the text of a value on the wire and its typed form.
// They ignore the process locale. Text to value matches the whole text; the
// empty text gives the type's default (0, 0.0, false, the default DateTime);
// any other text that is not of the form throws
// Quillomark::Soa::Common::Exceptions::BadLexicalCast.
//   int     decimal, optional '-' sign, no blanks
//   double, float   decimal or exponent form; "inf", "nan" as written out
//   bool    "true", "false", "1", "0"; written as "true" / "false"
//   DateTime  "YYYY-MM-DDThh:mm:ss", written exactly so; on reading, a
//           fraction of a second and a zone ("Z", "+hh:mm", "-hh:mm") are
//           accepted and ignored. Year 0 to 9999, a day of the calendar
//           (or "0000-00-00", no date), hour 0 to 23, minute 0 to 59,
//           second 0 to 60; a DateTime outside these throws
//           BadLexicalCast when written, so that what is written reads back
// Numbers are written in the shortest form that reads back to the same value.
template <typename Target, typename Source>
Target lexical_cast(const Source& source) {
    static_assert(sizeof(Source) == 0, "lexical_cast: no such conversion");
    (void)source;
    return Target();
}

template <>
QMSOA_API int lexical_cast<int, std::string>(const std::string& text);
template <>
QMSOA_API double lexical_cast<double, std::string>(const std::string& text);
template <>
QMSOA_API float lexical_cast<float, std::string>(const std::string& text);
template <>
QMSOA_API bool lexical_cast<bool, std::string>(const std::string& text);
template <>
QMSOA_API Quillomark::Soa::Common::DateTime
lexical_cast<Quillomark::Soa::Common::DateTime, std::string>(const std::string& text);

template <>
QMSOA_API std::string lexical_cast<std::string, int>(const int& value);
template <>
QMSOA_API std::string lexical_cast<std::string, double>(const double& value);
template <>
QMSOA_API std::string lexical_cast<std::string, float>(const float& value);
template <>
QMSOA_API std::string lexical_cast<std::string, bool>(const bool& value);
template <>
QMSOA_API std::string lexical_cast<std::string, Quillomark::Soa::Common::DateTime>(
    const Quillomark::Soa::Common::DateTime& value);

}  // namespace Quillomark::Soa::Common::Xml

#pragma once

#include <cstddef>
#include <string_view>

namespace Quillomark::Soa::Common::Xml::Internal {

// The length of the valid UTF-8 sequence at `at`, or 0 when the bytes there
// are not one: a byte that cannot begin a sequence, a sequence cut short,
// an overlong form, a surrogate or a value above U+10FFFF.
std::size_t validUtf8Length(std::string_view text, std::size_t at);

// Where the first byte that is not part of a valid UTF-8 sequence stands,
// or npos when there is none. ASCII runs are passed over eight bytes at a
// time.
std::size_t firstInvalidUtf8(std::string_view text);

// The same for text of an XML document, where U+0000 is no character
// either.
std::size_t firstInvalidXmlUtf8(std::string_view text);

}  // namespace Quillomark::Soa::Common::Xml::Internal

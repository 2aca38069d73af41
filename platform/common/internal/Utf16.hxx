#pragma once

#include <xercesc/util/XercesDefs.hpp>

#include <string>

namespace Quillomark::Soa::Common::Xml::Internal {

// Appends the UTF-8 form of `length` UTF-16 units to `out`; a lone
// surrogate becomes U+FFFD. False when there was one.
bool appendUtf8(std::string& out, const XMLCh* text, XMLSize_t length);

// The same for a zero-terminated parser string (null gives nothing).
bool appendUtf8(std::string& out, const XMLCh* text);

// Whether every surrogate of a zero-terminated parser string is one of a
// pair.
bool surrogatesPaired(const XMLCh* text);

}  // namespace Quillomark::Soa::Common::Xml::Internal

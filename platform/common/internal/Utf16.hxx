#pragma once

#include <xercesc/util/XercesDefs.hpp>

#include <string>

namespace Quillomark::Soa::Common::Xml::Internal {

// Appends the UTF-8 form of `length` UTF-16 units to `out`; a lone
// surrogate becomes U+FFFD.
void appendUtf8(std::string& out, const XMLCh* text, XMLSize_t length);

// The same for a zero-terminated parser string (null gives nothing).
void appendUtf8(std::string& out, const XMLCh* text);

}  // namespace Quillomark::Soa::Common::Xml::Internal

#pragma once

#include <soa/common/Export.hxx>

#include <string>

namespace Quillomark::Soa::Common::Xml {

// The UTF-8 form of request text.
class QMSOA_API Utf8String {
public:
    // Valid UTF-8 passes through unchanged; each byte that does not belong
    // to a valid UTF-8 sequence is taken as an ISO-8859-1 character and
    // written in UTF-8, so text from a Latin-1 source is not lost.
    static std::string encode(const std::string& text);
};

}  // namespace Quillomark::Soa::Common::Xml

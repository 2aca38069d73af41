#pragma once

#include <soa/common/Export.hxx>

#include <xercesc/util/XercesDefs.hpp>

#include <string>

namespace Quillomark::Soa::Common::Xml {

// The UTF-8 form of a parser string, whatever the process locale. A lone
// surrogate becomes U+FFFD.
class QMSOA_API QmStrX {
public:
    explicit QmStrX(const XMLCh* const text);
    QmStrX(const QmStrX& other) = default;
    QmStrX& operator=(const QmStrX& other) = default;
    ~QmStrX() = default;

    const char* localForm() const { return text.c_str(); }
    operator const std::string&() const { return text; }

private:
    QmStrX() = default;
    std::string text;
};

}  // namespace Quillomark::Soa::Common::Xml

#pragma once

#include <xercesc/util/XercesDefs.hpp>

#include <memory>
#include <string>

XERCES_CPP_NAMESPACE_BEGIN
class SAX2XMLReader;
class DefaultHandler;
XERCES_CPP_NAMESPACE_END

namespace Quillomark::Bench {

// The baseline of the parsing figures: Xerces-C's SAX2 reader with the
// features the library's parser uses (namespaces on, no validation, no
// external DTD) and a handler that does nothing. One reader parses many
// documents, as one of the library's parsers does.
class BareSaxParser {
public:
    BareSaxParser();
    ~BareSaxParser();
    BareSaxParser(const BareSaxParser&) = delete;
    BareSaxParser& operator=(const BareSaxParser&) = delete;

    void parse(const std::string& document);

private:
    std::unique_ptr<xercesc::DefaultHandler> handler;
    std::unique_ptr<xercesc::SAX2XMLReader> reader;
};

// The reference of what a hand-written client would do: libxml2 parses the
// bytes into its DOM, which is then freed. Returns the number of elements
// under the root, so that the walk cannot be left out.
std::size_t parseWithLibxml2(const std::string& document);

}  // namespace Quillomark::Bench

#pragma once

#include <soa/common/Export.hxx>

#include <sstream>
#include <string>
#include <vector>

namespace Quillomark::Soa::Common::Xml {

// The stream that wire values write themselves to as XML. Attribute values
// are escaped so that they read back unchanged: & < > " as entity
// references, tab, newline and carriage return as character references.
// Text is UTF-8; a character that XML cannot carry at all (a control
// character other than tab, newline and carriage return, U+FFFE, U+FFFF) is
// refused with Quillomark::Soa::Common::Exceptions::DomException. A write
// that the stream cannot make room for throws std::bad_alloc (badbit is
// set to throw), so that str() never gives a document cut short.
class QMSOA_API XmlStream : public std::stringstream {
public:
    XmlStream();
    ~XmlStream() override;
    XmlStream(const XmlStream&) = delete;
    XmlStream& operator=(const XmlStream&) = delete;

    // Opens an element; attributes may follow until its content starts.
    void startElement(const std::string& name);
    void attribute(const std::string& name, const std::string& value);
    // Closes the innermost open element ("/>" when it has no content).
    void endElement();

private:
    void closeStartTag();
    void writeEscaped(const std::string& value);

    struct OpenElement {
        std::string name;
        bool startTagOpen;
    };
    std::vector<OpenElement> openElements;
};

}  // namespace Quillomark::Soa::Common::Xml

#include <soa/common/DomException.hxx>
#include <soa/common/XmlStream.hxx>

namespace Quillomark::Soa::Common::Xml {

using Quillomark::Soa::Common::Exceptions::DomException;

// A stream whose buffer cannot grow sets badbit and goes on without the
// text: the write throws instead (std::bad_alloc, as it was thrown), so
// that no document cut short is ever handed out.
XmlStream::XmlStream() { exceptions(std::ios::badbit); }
XmlStream::~XmlStream() = default;

void XmlStream::closeStartTag() {
    if (!openElements.empty() && openElements.back().startTagOpen) {
        put('>');
        openElements.back().startTagOpen = false;
    }
}

void XmlStream::startElement(const std::string& name) {
    closeStartTag();
    put('<');
    write(name.data(), static_cast<std::streamsize>(name.size()));
    openElements.push_back(OpenElement{name, true});
}

void XmlStream::attribute(const std::string& name, const std::string& value) {
    if (openElements.empty() || !openElements.back().startTagOpen) {
        throw DomException("Attribute \"" + name + "\" written outside a start tag");
    }
    put(' ');
    write(name.data(), static_cast<std::streamsize>(name.size()));
    write("=\"", 2);
    writeEscaped(value);
    put('"');
}

void XmlStream::endElement() {
    if (openElements.empty()) throw DomException("No open element to end");
    OpenElement& element = openElements.back();
    if (element.startTagOpen) {
        write("/>", 2);
    } else {
        write("</", 2);
        write(element.name.data(), static_cast<std::streamsize>(element.name.size()));
        put('>');
    }
    openElements.pop_back();
}

void XmlStream::writeEscaped(const std::string& value) {
    const char* data = value.data();
    std::size_t runStart = 0;
    for (std::size_t i = 0; i < value.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(data[i]);
        const char* replacement;
        switch (c) {
            case '&': replacement = "&amp;"; break;
            case '<': replacement = "&lt;"; break;
            case '>': replacement = "&gt;"; break;
            case '"': replacement = "&quot;"; break;
            case '\t': replacement = "&#9;"; break;
            case '\n': replacement = "&#10;"; break;
            case '\r': replacement = "&#13;"; break;
            default:
                if (c < 0x20) {
                    throw DomException("Control character " + std::to_string(c) +
                                       " cannot be written in XML");
                }
                // U+FFFE and U+FFFF (EF BF BE, EF BF BF) are no XML characters.
                if (c == 0xEF && i + 2 < value.size() &&
                    static_cast<unsigned char>(data[i + 1]) == 0xBF &&
                    (static_cast<unsigned char>(data[i + 2]) & 0xFE) == 0xBE) {
                    throw DomException(std::string("Character U+") +
                                       (data[i + 2] == '\xBE' ? "FFFE" : "FFFF") +
                                       " cannot be written in XML");
                }
                continue;
        }
        write(data + runStart, static_cast<std::streamsize>(i - runStart));
        *this << replacement;
        runStart = i + 1;
    }
    write(data + runStart, static_cast<std::streamsize>(value.size() - runStart));
}

}  // namespace Quillomark::Soa::Common::Xml

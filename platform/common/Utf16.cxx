#include <platform/common/internal/Utf16.hxx>

namespace Quillomark::Soa::Common::Xml::Internal {

void appendUtf8(std::string& out, const XMLCh* text, XMLSize_t length) {
    XMLSize_t i = 0;
    // Most text on the wire is ASCII: copy runs of it in one go.
    while (i < length) {
        XMLSize_t run = i;
        while (run < length && text[run] < 0x80) ++run;
        if (run > i) {
            const std::size_t start = out.size();
            out.resize(start + (run - i));
            char* dest = &out[start];
            for (XMLSize_t k = i; k < run; ++k) *dest++ = static_cast<char>(text[k]);
            i = run;
            if (i == length) break;
        }
        char32_t code = text[i++];
        if (code >= 0xD800 && code <= 0xDBFF && i < length && text[i] >= 0xDC00 &&
            text[i] <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (text[i++] - 0xDC00);
        } else if (code >= 0xD800 && code <= 0xDFFF) {
            code = 0xFFFD;
        }
        if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
}

void appendUtf8(std::string& out, const XMLCh* text) {
    if (text == nullptr) return;
    XMLSize_t length = 0;
    while (text[length] != 0) ++length;
    appendUtf8(out, text, length);
}

}  // namespace Quillomark::Soa::Common::Xml::Internal

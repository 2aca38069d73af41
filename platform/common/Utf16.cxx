#include <platform/common/internal/Utf16.hxx>

namespace Quillomark::Soa::Common::Xml::Internal {

void appendUtf8(std::string& out, const XMLCh* text, XMLSize_t length) {
    // Most texts of a reply are ASCII: their run at the start is narrowed
    // straight into the string, in a loop without a branch per character
    // kind.
    const std::size_t at = out.size();
    out.resize(at + length);
    char* into = &out[at];
    XMLSize_t ascii = 0;
    while (ascii < length && text[ascii] < 0x80) {
        into[ascii] = static_cast<char>(text[ascii]);
        ++ascii;
    }
    out.resize(at + ascii);
    if (ascii == length) return;

    // The rest is encoded a piece at a time into a buffer on the stack, so
    // that the string grows by appending (no zero fill).
    char buffer[256];
    std::size_t used = 0;
    for (XMLSize_t i = ascii; i < length; ++i) {
        if (used > sizeof buffer - 4) {
            out.append(buffer, used);
            used = 0;
        }
        char32_t code = text[i];
        if (code < 0x80) {
            buffer[used++] = static_cast<char>(code);
            continue;
        }
        if (code >= 0xD800 && code <= 0xDBFF && i + 1 < length && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (text[++i] - 0xDC00);
        } else if (code >= 0xD800 && code <= 0xDFFF) {
            code = 0xFFFD;
        }
        if (code < 0x800) {
            buffer[used++] = static_cast<char>(0xC0 | (code >> 6));
            buffer[used++] = static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            buffer[used++] = static_cast<char>(0xE0 | (code >> 12));
            buffer[used++] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            buffer[used++] = static_cast<char>(0x80 | (code & 0x3F));
        } else {
            buffer[used++] = static_cast<char>(0xF0 | (code >> 18));
            buffer[used++] = static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            buffer[used++] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            buffer[used++] = static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    out.append(buffer, used);
}

void appendUtf8(std::string& out, const XMLCh* text) {
    if (text == nullptr) return;
    XMLSize_t length = 0;
    while (text[length] != 0) ++length;
    appendUtf8(out, text, length);
}

}  // namespace Quillomark::Soa::Common::Xml::Internal

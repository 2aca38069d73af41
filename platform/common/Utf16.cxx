#include <platform/common/internal/Utf16.hxx>

namespace Quillomark::Soa::Common::Xml::Internal {

namespace {

// Narrows the ASCII run at the start of `text`, up to `length` units or
// the terminating zero, into `out` through a buffer on the stack, so that
// the string grows by appending (no zero fill); returns the units read.
template <bool Terminated>
XMLSize_t appendAscii(std::string& out, const XMLCh* text, XMLSize_t length) {
    char buffer[256];
    XMLSize_t done = 0;
    for (;;) {
        std::size_t used = 0;
        while (used < sizeof buffer && (Terminated || done + used < length) &&
               text[done + used] < 0x80 && (!Terminated || text[done + used] != 0)) {
            buffer[used] = static_cast<char>(text[done + used]);
            ++used;
        }
        out.append(buffer, used);
        done += used;
        if (used < sizeof buffer) return done;
    }
}

}  // namespace

bool appendUtf8(std::string& out, const XMLCh* text, XMLSize_t length) {
    // Most texts of a reply are ASCII: their run at the start is narrowed
    // in a loop without a branch per character kind.
    const XMLSize_t ascii = appendAscii<false>(out, text, length);
    if (ascii == length) return true;

    // The rest is encoded a piece at a time into a buffer on the stack, so
    // that the string grows by appending (no zero fill).
    char buffer[256];
    std::size_t used = 0;
    bool paired = true;
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
            paired = false;
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
    return paired;
}

bool appendUtf8(std::string& out, const XMLCh* text) {
    if (text == nullptr) return true;
    // One pass over an ASCII text: its end is found as it is narrowed.
    text += appendAscii<true>(out, text, 0);
    if (*text == 0) return true;
    XMLSize_t length = 0;
    while (text[length] != 0) ++length;
    return appendUtf8(out, text, length);
}

bool surrogatesPaired(const XMLCh* text) {
    for (; text != nullptr && *text != 0; ++text) {
        if (*text >= 0xD800 && *text <= 0xDBFF && text[1] >= 0xDC00 && text[1] <= 0xDFFF) {
            ++text;
        } else if (*text >= 0xD800 && *text <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

}  // namespace Quillomark::Soa::Common::Xml::Internal

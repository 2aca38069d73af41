#include <soa/common/Utf8String.hxx>

#include <platform/common/internal/Utf8.hxx>

namespace Quillomark::Soa::Common::Xml {

std::string Utf8String::encode(const std::string& text) {
    // Usually the text is valid and is returned as it is.
    std::size_t pos = Internal::firstInvalidUtf8(text);
    if (pos == std::string::npos) return text;

    std::string out;
    out.reserve(text.size() + text.size() / 8 + 8);
    out.append(text, 0, pos);
    while (pos < text.size()) {
        const std::size_t length = Internal::validUtf8Length(text, pos);
        if (length != 0) {
            out.append(text, pos, length);
            pos += length;
        } else {
            const unsigned char c = static_cast<unsigned char>(text[pos]);
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
            ++pos;
        }
    }
    return out;
}

}  // namespace Quillomark::Soa::Common::Xml

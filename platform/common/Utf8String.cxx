#include <soa/common/Utf8String.hxx>

namespace Quillomark::Soa::Common::Xml {

namespace {

// The length of the valid UTF-8 sequence at `pos`, or 0 when the bytes
// there are not one (overlong forms, surrogates and values above U+10FFFF
// are not valid).
std::size_t validSequenceLength(const std::string& text, std::size_t pos) {
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(pos);
    std::size_t length;
    unsigned char low = 0x80, high = 0xBF;  // range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (pos + length > text.size()) return 0;
    if (byte(pos + 1) < low || byte(pos + 1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (byte(pos + i) < 0x80 || byte(pos + i) > 0xBF) return 0;
    }
    return length;
}

}  // namespace

std::string Utf8String::encode(const std::string& text) {
    // Find the first byte that needs work; usually there is none and the
    // text is returned as it is.
    std::size_t pos = 0;
    while (pos < text.size()) {
        unsigned char c = static_cast<unsigned char>(text[pos]);
        if (c < 0x80) {
            ++pos;
            continue;
        }
        std::size_t length = validSequenceLength(text, pos);
        if (length == 0) break;
        pos += length;
    }
    if (pos == text.size()) return text;

    std::string out;
    out.reserve(text.size() + text.size() / 8 + 8);
    out.append(text, 0, pos);
    while (pos < text.size()) {
        unsigned char c = static_cast<unsigned char>(text[pos]);
        std::size_t length = c < 0x80 ? 1 : validSequenceLength(text, pos);
        if (length != 0) {
            out.append(text, pos, length);
            pos += length;
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
            ++pos;
        }
    }
    return out;
}

}  // namespace Quillomark::Soa::Common::Xml

#include <platform/common/internal/Utf8.hxx>

#include <cstdint>
#include <cstring>

namespace Quillomark::Soa::Common::Xml::Internal {

std::size_t validUtf8Length(std::string_view text, std::size_t at) {
    auto byte = [text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) return 1;
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
    if (text.size() - at < length) return 0;
    if (byte(at + 1) < low || byte(at + 1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
    }
    return length;
}

namespace {

template <bool NulAllowed>
std::size_t firstInvalid(std::string_view text) {
    constexpr std::uint64_t HIGH_BITS = 0x8080808080808080u;
    constexpr std::uint64_t ONES = 0x0101010101010101u;
    std::size_t at = 0;
    while (at < text.size()) {
        if (text.size() - at >= sizeof(std::uint64_t)) {
            std::uint64_t word;
            std::memcpy(&word, text.data() + at, sizeof word);
            // A byte at 0x80 or above, or (where U+0000 is refused) a zero
            // byte, sets a high bit here.
            if (((NulAllowed ? word : word | (word - ONES)) & HIGH_BITS) == 0) {
                at += sizeof word;
                continue;
            }
        }
        const std::size_t length = validUtf8Length(text, at);
        if (length == 0 || (!NulAllowed && text[at] == '\0')) return at;
        at += length;
    }
    return std::string_view::npos;
}

}  // namespace

std::size_t firstInvalidUtf8(std::string_view text) { return firstInvalid<true>(text); }

std::size_t firstInvalidXmlUtf8(std::string_view text) { return firstInvalid<false>(text); }

}  // namespace Quillomark::Soa::Common::Xml::Internal

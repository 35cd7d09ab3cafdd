#include "platform/EscapeBytes.h"

#include <cstdint>

namespace {

// Length of the well-formed UTF-8 character of two or more bytes at i; 0 when
// there is none (overlong forms, surrogates and values above U+10FFFF count
// as none).
std::size_t MultiByteLength(const std::string& text, std::size_t i)
{
    const auto byte = [&](std::size_t k) { return static_cast<uint8_t>(text[k]); };
    const uint8_t lead = byte(i);
    std::size_t length = 0;
    uint8_t low = 0x80;
    uint8_t high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (i + length > text.size())
        return 0;
    // Only the first continuation byte has a range of its own.
    if (byte(i + 1) < low || byte(i + 1) > high)
        return 0;
    for (std::size_t k = i + 2; k < i + length; ++k)
        if (byte(k) < 0x80 || byte(k) > 0xBF)
            return 0;
    return length;
}

bool IsPrintableAscii(uint8_t c) { return (c >= 0x20 && c < 0x7F) || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

std::string EscapeRawBytes(const std::string& text)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<uint8_t>(text[i]);
        if (IsPrintableAscii(c)) {
            out += text[i++];
            continue;
        }
        const std::size_t length = c >= 0x80 ? MultiByteLength(text, i) : 0;
        if (length > 0) {
            out.append(text, i, length);
            i += length;
            continue;
        }
        out += "\\x";
        out += kHex[c >> 4];
        out += kHex[c & 0xF];
        ++i;
    }
    return out;
}

#include "platform/JsonText.h"

#include <cstdint>
#include <cstdio>

namespace {

// The length of the well-formed UTF-8 sequence at the start of AText, or 0 when there is none
// (a stray continuation byte, a truncated or overlong sequence, a surrogate, beyond U+10FFFF).
size_t Utf8SequenceLength(std::string_view AText) {
    const auto lead = uint8_t(AText[0]);
    size_t length = 0;
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
    if (AText.size() < length)
        return 0;
    // Only the second byte has a narrower range; the rest are plain continuation bytes.
    for (size_t i = 1; i < length; ++i) {
        const auto byte = uint8_t(AText[i]);
        if (byte < (i == 1 ? low : 0x80) || byte > (i == 1 ? high : 0xBF))
            return 0;
    }
    return length;
}

} // namespace

std::string JsonString(std::string_view AText) {
    std::string out;
    out.reserve(AText.size() + 2);
    out += '"';
    for (size_t i = 0; i < AText.size();) {
        const char c = AText[i];
        const auto byte = uint8_t(c);
        if (byte >= 0x80) {
            if (const size_t length = Utf8SequenceLength(AText.substr(i))) {
                out.append(AText.substr(i, length));
                i += length;
            } else {
                out += char(0xC0 | (byte >> 6));
                out += char(0x80 | (byte & 0x3F));
                ++i;
            }
            continue;
        }
        ++i;
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (byte < 0x20 || byte == 0x7F) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
                out += escaped;
            } else {
                out += c;
            }
        }
    }
    out += '"';
    return out;
}

#include "platform/Guid.h"
#include "platform/HexText.h"

#include <cstdio>
#include <stdexcept>

std::string GuidToString(const TGUID& AGuid) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", AGuid.D1, AGuid.D2,
                  AGuid.D3, AGuid.D4[0], AGuid.D4[1], AGuid.D4[2], AGuid.D4[3], AGuid.D4[4], AGuid.D4[5],
                  AGuid.D4[6], AGuid.D4[7]);
    return text;
}

bool StringToGuid(const std::string& AText, TGUID& AGuid) {
    std::string s = AText;
    if (s.size() == 38 && s.front() == '{' && s.back() == '}')
        s = s.substr(1, 36);
    if (s.size() != 36 || s[8] != '-' || s[13] != '-' || s[18] != '-' || s[23] != '-')
        return false;
    std::string hex;
    for (char c : s)
        if (c != '-')
            hex += c;
    uint8_t b[16];
    for (int i = 0; i < 16; ++i) {
        int hi = HexDigitValue(hex[2 * i]), lo = HexDigitValue(hex[2 * i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        b[i] = uint8_t(hi * 16 + lo);
    }
    TGUID g;
    g.D1 = uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
    g.D2 = uint16_t(b[4] << 8 | b[5]);
    g.D3 = uint16_t(b[6] << 8 | b[7]);
    for (int i = 0; i < 8; ++i)
        g.D4[i] = b[8 + i];
    AGuid = g;
    return true;
}

TGUID GuidFromString(const std::string& AText) {
    TGUID g;
    if (!StringToGuid(AText, g))
        throw std::invalid_argument("malformed GUID: " + AText);
    return g;
}

bool IsNullGuid(const TGUID& AGuid) {
    return AGuid == TGUID{};
}

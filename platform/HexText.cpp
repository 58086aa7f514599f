#include "platform/HexText.h"

#include <cstdio>

int HexDigitValue(char AChar) {
    if (AChar >= '0' && AChar <= '9')
        return AChar - '0';
    if (AChar >= 'a' && AChar <= 'f')
        return AChar - 'a' + 10;
    if (AChar >= 'A' && AChar <= 'F')
        return AChar - 'A' + 10;
    return -1;
}

std::string BytesToHex(const void* AData, std::size_t ASize) {
    static const char Digits[] = "0123456789ABCDEF";
    const auto* bytes = static_cast<const uint8_t*>(AData);
    std::string text;
    text.reserve(ASize * 2);
    for (std::size_t i = 0; i < ASize; ++i) {
        text += Digits[bytes[i] >> 4];
        text += Digits[bytes[i] & 0x0F];
    }
    return text;
}

std::string Hex4(uint16_t AValue, bool ALowerCase) {
    char text[5];
    std::snprintf(text, sizeof text, ALowerCase ? "%04x" : "%04X", AValue);
    return text;
}

std::optional<std::vector<uint8_t>> HexToBytes(const std::string& AText) {
    if (AText.size() % 2 != 0)
        return std::nullopt;
    std::vector<uint8_t> bytes(AText.size() / 2);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const int high = HexDigitValue(AText[2 * i]);
        const int low = HexDigitValue(AText[2 * i + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        bytes[i] = uint8_t(high << 4 | low);
    }
    return bytes;
}

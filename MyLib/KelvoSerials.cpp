#include "MyLib/KelvoSerials.h"

#include "MyLib/KelvoProducts.h"

#include "platform/HexText.h"
#include "platform/LittleEndian.h"

#include <cctype>

namespace {

bool IsWirelessSensorLayout(const TSerialNum& ASerial) {
    return ASerial[3] == 0x57 && ASerial[4] == 0 && ASerial[5] == 0 && ASerial[6] == 0 && ASerial[7] == 0;
}

// Lenient integer reader: leading blanks, optional sign, decimal digits or hexadecimal digits after
// "$", "x", "X" or "0x"; stops at the first character that does not fit and keeps what it has.
// Arithmetic wraps modulo 2^32, which keeps the low 8 bits the caller needs exact.
uint32_t ReadLenientInteger(const std::string& AText) {
    std::size_t i = 0;
    while (i < AText.size() && (AText[i] == ' ' || AText[i] == '\t'))
        ++i;
    bool negative = false;
    if (i < AText.size() && (AText[i] == '+' || AText[i] == '-')) {
        negative = AText[i] == '-';
        ++i;
    }
    uint32_t base = 10;
    if (i < AText.size() && (AText[i] == '$' || AText[i] == 'x' || AText[i] == 'X')) {
        base = 16;
        ++i;
    } else if (i + 1 < AText.size() && AText[i] == '0' && (AText[i + 1] == 'x' || AText[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    uint32_t value = 0;
    for (; i < AText.size(); ++i) {
        int digit = HexDigitValue(AText[i]);
        if (digit < 0 || uint32_t(digit) >= base)
            break;
        value = value * base + uint32_t(digit);
    }
    return negative ? 0u - value : value;
}

} // namespace

void ProductIdToGuid(uint16_t AProductId, TGUID& AGuid) {
    const TKelvoProduct* product = FindKelvoProduct(AProductId);
    AGuid = product && product->InterfaceClass ? *product->InterfaceClass : TGUID{};
}

std::string SerialToStr(const TSerialNum& ASerial) {
    if (IsWirelessSensorLayout(ASerial)) {
        const char* prefix = nullptr;
        switch (ASerial[2]) {
        case 0x00:
            prefix = "WD-M01-";
            break;
        case 0x01:
            prefix = "WD-01-";
            break;
        case 0x04:
            prefix = "WD-02-";
            break;
        default:
            return {};
        }
        return prefix + std::to_string(GetLE16(ASerial.data()));
    }
    std::string text;
    for (std::size_t i = 0; i < ASerial.size(); ++i) {
        if (i)
            text += '-';
        text += std::to_string(ASerial[i]);
    }
    return text;
}

void StrToSerial(const std::string& AText, TSerialNum& AValue) {
    std::size_t start = 0;
    for (std::size_t i = 0; i < AValue.size(); ++i) {
        std::string field;
        if (start <= AText.size()) {
            std::size_t dash = AText.find('-', start);
            std::size_t end = dash == std::string::npos ? AText.size() : dash;
            field = AText.substr(start, end - start);
            start = dash == std::string::npos ? AText.size() + 1 : dash + 1;
        }
        AValue[i] = uint8_t(ReadLenientInteger(field));
    }
}

bool SerialValid(const TSerialNum& ASerial) {
    if (IsWirelessSensorLayout(ASerial))
        return true;
    return KeyValid(ASerial);
}

bool KeyValid(const TDeviceKey& AKey) {
    for (uint8_t b : AKey)
        if (b == 0x00 || b == 0xFF)
            return false;
    return true;
}

bool SameSerial(const TSerialNum& A, const TSerialNum& B) {
    return A == B;
}

std::string Code128Word(uint16_t AValue) {
    return {char((AValue & 63) + 32), char(((AValue >> 6) & 63) + 32), char((AValue >> 12) + 32)};
}

std::string Code128ByteWord(uint8_t AB, uint16_t AValue) {
    return std::string{char((AB & 15) + 32), char((AB >> 4) + 32)} + Code128Word(AValue);
}

std::string Code128Serial(const TSerialNum& ASerial) {
    const auto& s = ASerial;
    auto low = [](uint8_t b) { return char((b & 63) + 32); };
    return {low(s[0]),
            low(s[1]),
            low(s[2]),
            char((s[0] >> 6) + (s[1] >> 6) * 4 + (s[2] >> 6) * 16 + 32),
            low(s[3]),
            low(s[4]),
            low(s[5]),
            char((s[3] >> 6) + (s[4] >> 6) * 4 + (s[5] >> 6) * 16 + 32),
            low(s[6]),
            low(s[7]),
            char((s[6] >> 6) + (s[7] >> 6) * 4 + 32)};
}

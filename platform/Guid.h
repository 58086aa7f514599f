#pragma once
// Interface-class and format GUIDs in the desktop OS's binary layout:
// a 32-bit, two 16-bit little-endian words, then 8 bytes (16 bytes, no padding).
#include <cstdint>
#include <string>

struct TGUID {
    uint32_t D1 = 0;
    uint16_t D2 = 0;
    uint16_t D3 = 0;
    uint8_t D4[8] = {};

    friend bool operator==(const TGUID&, const TGUID&) = default;
};
using PGUID = TGUID*;
static_assert(sizeof(TGUID) == 16);

// "{6DD29847-8B42-4AB4-AB06-4B9BF751334C}" form, upper-case digits.
std::string GuidToString(const TGUID& AGuid);
// Parses the form above (braces optional, digits of either case); false on malformed text.
bool StringToGuid(const std::string& AText, TGUID& AGuid);
// For literals known to be well formed; throws std::invalid_argument otherwise.
TGUID GuidFromString(const std::string& AText);
bool IsNullGuid(const TGUID& AGuid);

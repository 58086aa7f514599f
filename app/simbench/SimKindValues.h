#pragma once
// Reading the own values of the --simulate kinds; their numbers are read by ParseNumber.
#include "platform/HexText.h"
#include "platform/NumberText.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

// The parts of AText between the separators; a separator at the end gives an empty last part.
std::vector<std::string> SplitSimText(const std::string& AText, char ASeparator);

// AText as an error message quotes it: cut to its first 60 characters, so a message stays one
// readable line whatever was typed.
std::string EchoedText(const std::string& AText);

// Exactly N bytes as 2N hexadecimal digits of either case, in memory order.
template <std::size_t N> std::optional<std::array<uint8_t, N>> ParseSimKindBytes(const std::string& AText) {
    const auto bytes = HexToBytes(AText);
    if (!bytes || bytes->size() != N)
        return std::nullopt;
    std::array<uint8_t, N> result{};
    std::memcpy(result.data(), bytes->data(), N);
    return result;
}

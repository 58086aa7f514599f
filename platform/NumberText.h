#pragma once
// The one reader of numbers that users type, on every command line and in every device text.
#include <cstdint>
#include <optional>
#include <string_view>

// A whole number, decimal or hexadecimal after 0x, the whole text and no greater than AMax.
std::optional<uint32_t> ParseNumber(std::string_view AText, uint32_t AMax);

// A decimal number with an optional sign and fraction, the whole text, within [AMin, AMax]; never
// NaN.
std::optional<double> ParseReal(std::string_view AText, double AMin, double AMax);

#pragma once
// Reading the own values of the --simulate kinds.
#include <cstdint>
#include <optional>
#include <string>

// Decimal, or hexadecimal with a 0x prefix; the whole text must be a number no greater than AMax.
std::optional<uint32_t> ParseSimKindNumber(const std::string& AText, uint32_t AMax);

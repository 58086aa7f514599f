#pragma once
// Helpers of the --simulate kinds: reading a kind's own values, and telling the user about a value
// that makes a simulated device impossible to build (the registry's builders have no error channel,
// so the message goes to the standard error stream and the device is left out).
#include <cstdint>
#include <optional>
#include <string>

// Decimal, or hexadecimal with a 0x prefix; the whole text must be a number no greater than AMax.
std::optional<uint32_t> ParseSimKindNumber(const std::string& AText, uint32_t AMax);

// Writes "--simulate KIND: AText" as one line to the standard error stream.
void ReportSimKindError(const std::string& AKind, const std::string& AText);

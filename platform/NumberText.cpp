#include "platform/NumberText.h"

#include <charconv>

std::optional<uint32_t> ParseNumber(std::string_view AText, uint32_t AMax) {
    int base = 10;
    if (AText.size() > 2 && AText[0] == '0' && (AText[1] == 'x' || AText[1] == 'X')) {
        base = 16;
        AText.remove_prefix(2);
    }
    // from_chars takes no sign, so "-1" and "+1" are refused here.
    uint64_t value = 0;
    const auto [end, error] = std::from_chars(AText.data(), AText.data() + AText.size(), value, base);
    if (AText.empty() || error != std::errc() || end != AText.data() + AText.size() || value > AMax)
        return std::nullopt;
    return uint32_t(value);
}

std::optional<double> ParseReal(std::string_view AText, double AMin, double AMax) {
    double value = 0;
    const auto [end, error] = std::from_chars(AText.data(), AText.data() + AText.size(), value);
    // The range check also refuses NaN.
    if (AText.empty() || error != std::errc() || end != AText.data() + AText.size() ||
        !(value >= AMin && value <= AMax))
        return std::nullopt;
    return value;
}

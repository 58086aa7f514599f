#include "app/simbench/SimKindValues.h"

#include <charconv>
#include <sstream>
#include <string_view>

std::vector<std::string> SplitSimText(const std::string& AText, char ASeparator) {
    std::vector<std::string> parts;
    std::istringstream in(AText);
    std::string part;
    while (std::getline(in, part, ASeparator))
        parts.push_back(part);
    if (!AText.empty() && AText.back() == ASeparator)
        parts.emplace_back();
    return parts;
}

std::optional<uint32_t> ParseSimKindNumber(const std::string& AText, uint32_t AMax) {
    std::string_view digits(AText);
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits.remove_prefix(2);
    }
    if (digits.empty())
        return std::nullopt;
    uint64_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
    if (error != std::errc() || end != digits.data() + digits.size() || value > AMax)
        return std::nullopt;
    return uint32_t(value);
}

std::optional<uint32_t> ParseSimKindDecimal(const std::string& AText, uint32_t AMax) {
    if (AText.empty() || AText.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    return ParseSimKindNumber(AText, AMax);
}

std::string EchoedText(const std::string& AText) {
    constexpr std::size_t KMaxEcho = 60;
    return AText.size() <= KMaxEcho ? AText : AText.substr(0, KMaxEcho) + "...";
}

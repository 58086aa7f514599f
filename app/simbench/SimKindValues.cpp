#include "app/simbench/SimKindValues.h"

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

std::string EchoedText(const std::string& AText) {
    constexpr std::size_t KMaxEcho = 60;
    return AText.size() <= KMaxEcho ? AText : AText.substr(0, KMaxEcho) + "...";
}

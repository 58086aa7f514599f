#pragma once
// A program's or writer's output cut into its lines, without their line ends.
#include <sstream>
#include <string>
#include <vector>

inline std::vector<std::string> Lines(const std::string& AText) {
    std::vector<std::string> lines;
    std::istringstream in(AText);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

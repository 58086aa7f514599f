#include "platform/IniFile.h"

#include "platform/AtomicFile.h"
#include "platform/RegularFile.h"

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace {

// Settings files are a few lines; anything far larger is not one of ours.
constexpr std::size_t MAX_FILE_SIZE = 4 * 1024 * 1024;

using TLines = std::vector<std::string>;

std::string Trim(const std::string& AText) {
    const char* blanks = " \t\r\n";
    const auto first = AText.find_first_not_of(blanks);
    if (first == std::string::npos)
        return {};
    return AText.substr(first, AText.find_last_not_of(blanks) - first + 1);
}

bool SameName(const std::string& A, const std::string& B) {
    if (A.size() != B.size())
        return false;
    for (size_t i = 0; i < A.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(A[i])) != std::tolower(static_cast<unsigned char>(B[i])))
            return false;
    return true;
}

// The section name of a "[name]" line.
std::optional<std::string> SectionOf(const std::string& ALine) {
    const std::string line = Trim(ALine);
    if (line.empty() || line[0] != '[')
        return std::nullopt;
    const auto close = line.find(']');
    return Trim(line.substr(1, close == std::string::npos ? std::string::npos : close - 1));
}

// The key of a "key=value" line; comment lines and lines without '=' have none.
std::optional<std::string> KeyOf(const std::string& ALine) {
    const std::string line = Trim(ALine);
    if (line.empty() || line[0] == ';' || line[0] == '[')
        return std::nullopt;
    const auto eq = line.find('=');
    if (eq == std::string::npos)
        return std::nullopt;
    return Trim(line.substr(0, eq));
}

TLines ReadLines(const std::string& AFile) {
    std::optional<std::string> contents;
    try {
        contents = ReadRegularFile(AFile, MAX_FILE_SIZE);
    } catch (const ERegularFileError& e) {
        throw EIniFileError(e.what());
    }
    if (!contents)
        return {}; // a missing file reads as an empty one
    const std::string& data = *contents;

    TLines lines;
    // A file saved by an editor may start with a UTF-8 byte order mark; it is not part of the text.
    size_t start = data.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    while (start < data.size()) {
        auto end = data.find('\n', start);
        if (end == std::string::npos)
            end = data.size();
        std::string line = data.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(std::move(line));
        start = end + 1;
    }
    return lines;
}

// Lines [ABegin, AEnd) of the first section named ASection, ABegin being its header; nullopt if absent.
std::optional<std::pair<size_t, size_t>> FindSection(const TLines& ALines, const std::string& ASection) {
    for (size_t i = 0; i < ALines.size(); ++i) {
        auto name = SectionOf(ALines[i]);
        if (!name || !SameName(*name, ASection))
            continue;
        size_t end = i + 1;
        while (end < ALines.size() && !SectionOf(ALines[end]))
            ++end;
        return std::make_pair(i, end);
    }
    return std::nullopt;
}

std::optional<size_t> FindKey(const TLines& ALines, std::pair<size_t, size_t> ASection,
                              const std::string& AKey) {
    for (size_t i = ASection.first + 1; i < ASection.second; ++i)
        if (auto key = KeyOf(ALines[i]); key && SameName(*key, AKey))
            return i;
    return std::nullopt;
}

std::optional<std::string> FindValue(const std::string& AFile, const std::string& ASection,
                                     const std::string& AKey) {
    const TLines lines = ReadLines(AFile);
    const auto section = FindSection(lines, ASection);
    if (!section)
        return std::nullopt;
    const auto at = FindKey(lines, *section, AKey);
    if (!at)
        return std::nullopt;
    const std::string& line = lines[*at];
    std::string value = Trim(line.substr(line.find('=') + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
        value = value.substr(1, value.size() - 2);
    return value;
}

// Writes ALines as the whole new content of AFile, atomically.
void ReplaceFile(const std::string& AFile, const TLines& ALines) {
    std::string data;
    for (const auto& line : ALines)
        data += line + "\r\n";
    try {
        ReplaceFileContents(AFile, data);
    } catch (const EAtomicWriteError& e) {
        throw EIniFileError(e.what());
    }
}

void CheckName(const std::string& AName, const char* AForbidden, const char* AWhat) {
    if (Trim(AName).empty() || AName.find_first_of(AForbidden) != std::string::npos)
        throw EIniFileError(std::string("invalid ") + AWhat + " name \"" + AName + "\"");
}

} // namespace

TIniFile::TIniFile(std::string AFileName) : fFileName(std::move(AFileName)) {}

std::string TIniFile::ReadString(const std::string& ASection, const std::string& AKey,
                                 const std::string& ADefault) const {
    return FindValue(fFileName, ASection, AKey).value_or(ADefault);
}

int TIniFile::ReadInteger(const std::string& ASection, const std::string& AKey, int ADefault) const {
    const auto value = FindValue(fFileName, ASection, AKey);
    if (!value)
        return ADefault;
    const std::string& text = *value;
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+'))
        negative = text[i++] == '-';
    unsigned base = 10;
    if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    // Accumulates modulo 2^32 as the system reader does, so "0xFFFFFFFF" reads as -1.
    uint32_t result = 0;
    size_t digits = 0;
    for (; i < text.size(); ++i, ++digits) {
        const char c = char(std::tolower(static_cast<unsigned char>(text[i])));
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = unsigned(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = unsigned(c - 'a' + 10);
        else
            break;
        result = result * base + digit;
    }
    if (digits == 0)
        return ADefault;
    if (negative)
        result = 0u - result;
    return static_cast<int>(result);
}

bool TIniFile::ReadBool(const std::string& ASection, const std::string& AKey, bool ADefault) const {
    return ReadInteger(ASection, AKey, ADefault ? 1 : 0) != 0;
}

bool TIniFile::SectionExists(const std::string& ASection) const {
    return FindSection(ReadLines(fFileName), ASection).has_value();
}

bool TIniFile::ValueExists(const std::string& ASection, const std::string& AKey) const {
    return FindValue(fFileName, ASection, AKey).has_value();
}

void TIniFile::WriteString(const std::string& ASection, const std::string& AKey, const std::string& AValue) {
    // A line break would let a value forge other keys; brackets and '=' would change the line's meaning.
    CheckName(ASection, "[]\r\n", "section");
    CheckName(AKey, "=[;\r\n", "key");
    if (AValue.find_first_of("\r\n") != std::string::npos)
        throw EIniFileError("invalid value for key \"" + AKey + "\": line break");

    TLines lines = ReadLines(fFileName);
    const std::string entry = Trim(AKey) + "=" + AValue;
    auto section = FindSection(lines, ASection);
    if (!section) {
        if (!lines.empty() && !Trim(lines.back()).empty())
            lines.push_back("");
        std::string header = Trim(ASection);
        header.insert(header.begin(), '[');
        header.push_back(']');
        lines.push_back(std::move(header));
        lines.push_back(entry);
    } else if (auto at = FindKey(lines, *section, AKey)) {
        lines[*at] = entry;
    } else {
        // After the section's last non-blank line, so blank separators stay between sections.
        size_t insert = section->second;
        while (insert > section->first + 1 && Trim(lines[insert - 1]).empty())
            --insert;
        lines.insert(lines.begin() + std::ptrdiff_t(insert), entry);
    }
    ReplaceFile(fFileName, lines);
}

void TIniFile::WriteInteger(const std::string& ASection, const std::string& AKey, int AValue) {
    WriteString(ASection, AKey, std::to_string(AValue));
}

void TIniFile::WriteBool(const std::string& ASection, const std::string& AKey, bool AValue) {
    WriteString(ASection, AKey, AValue ? "1" : "0");
}

void TIniFile::DeleteKey(const std::string& ASection, const std::string& AKey) {
    TLines lines = ReadLines(fFileName);
    const auto section = FindSection(lines, ASection);
    if (!section)
        return;
    const auto at = FindKey(lines, *section, AKey);
    if (!at)
        return;
    lines.erase(lines.begin() + std::ptrdiff_t(*at));
    ReplaceFile(fFileName, lines);
}

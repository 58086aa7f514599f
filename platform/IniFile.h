#pragma once
// INI files read and written like the desktop OS's profile functions: section and key names match
// without regard to case, a missing file or key gives the default, and a write creates the file
// and the section and keeps every other line in its place. Each write replaces the whole file
// atomically (temporary file in the same folder, flushed to disk, renamed over the old one), so a
// crash or power loss leaves either the old file or the new one, never a torn one.
#include <stdexcept>
#include <string>

// Raised when the file cannot be read or written, or a name or value cannot be stored.
class EIniFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TIniFile {
public:
    explicit TIniFile(std::string AFileName);

    const std::string& FileName() const { return fFileName; }

    // The value with surrounding blanks removed, and one pair of matching quotes around it.
    std::string ReadString(const std::string& ASection, const std::string& AKey,
                           const std::string& ADefault) const;
    // Reads an optional sign and then decimal digits, or hexadecimal digits after "0x", up to the
    // first other character; the default when the key is missing or its value starts with no digit.
    int ReadInteger(const std::string& ASection, const std::string& AKey, int ADefault) const;
    // True for a non-zero integer, as ReadInteger reads it.
    bool ReadBool(const std::string& ASection, const std::string& AKey, bool ADefault) const;
    bool SectionExists(const std::string& ASection) const;
    bool ValueExists(const std::string& ASection, const std::string& AKey) const;

    void WriteString(const std::string& ASection, const std::string& AKey, const std::string& AValue);
    void WriteInteger(const std::string& ASection, const std::string& AKey, int AValue);
    // Written as "1" or "0".
    void WriteBool(const std::string& ASection, const std::string& AKey, bool AValue);
    void DeleteKey(const std::string& ASection, const std::string& AKey);

private:
    std::string fFileName;
};

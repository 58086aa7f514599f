#include "app/JsonLine.h"

#include "platform/JsonText.h"

#include <cstdio>
#include <limits>
#include <tuple>

void TJsonLine::AddName(const char* AName) {
    if (!fMembers.empty())
        fMembers += ',';
    fMembers += JsonString(AName) + ":";
}

TJsonLine& TJsonLine::AddText(const char* AName, std::string_view AText) {
    AddName(AName);
    fMembers += JsonString(AText);
    return *this;
}

TJsonLine& TJsonLine::AddNumber(const char* AName, int64_t AValue) {
    AddName(AName);
    fMembers += std::to_string(AValue);
    return *this;
}

TJsonLine& TJsonLine::AddNumber(const char* AName, std::optional<uint16_t> AValue) {
    AddName(AName);
    fMembers += AValue ? std::to_string(*AValue) : "null";
    return *this;
}

TJsonLine& TJsonLine::AddBool(const char* AName, bool AValue) {
    AddName(AName);
    fMembers += AValue ? "true" : "false";
    return *this;
}

namespace {

// A reader over one line; every Read... leaves fAt after what it read, or returns false.
class TJsonReader {
public:
    explicit TJsonReader(std::string_view AText) : fText(AText) {}

    void SkipBlanks() {
        while (fAt < fText.size() && (fText[fAt] == ' ' || fText[fAt] == '\t' || fText[fAt] == '\r'))
            ++fAt;
    }
    bool Take(char AChar) {
        SkipBlanks();
        if (fAt >= fText.size() || fText[fAt] != AChar)
            return false;
        ++fAt;
        return true;
    }
    bool AtEnd() {
        SkipBlanks();
        return fAt == fText.size();
    }
    bool ReadString(std::string& AOut) {
        if (!Take('"'))
            return false;
        AOut.clear();
        while (fAt < fText.size()) {
            const char c = fText[fAt++];
            if (c == '"')
                return true;
            if (static_cast<unsigned char>(c) < 0x20)
                return false;
            if (c != '\\') {
                AOut += c;
                continue;
            }
            if (fAt >= fText.size())
                return false;
            const char e = fText[fAt++];
            switch (e) {
            case '"':
            case '\\':
            case '/':
                AOut += e;
                break;
            case 'b':
                AOut += '\b';
                break;
            case 'f':
                AOut += '\f';
                break;
            case 'n':
                AOut += '\n';
                break;
            case 'r':
                AOut += '\r';
                break;
            case 't':
                AOut += '\t';
                break;
            case 'u':
                if (!ReadCodePoint(AOut))
                    return false;
                break;
            default:
                return false;
            }
        }
        return false;
    }
    bool ReadValue(TJsonValue& AValue) {
        SkipBlanks();
        if (fAt >= fText.size())
            return false;
        if (fText[fAt] == '"') {
            AValue.fKind = TJsonValue::TKind::Text;
            return ReadString(AValue.fText);
        }
        for (const auto& [word, kind, flag] : {std::tuple{"true", TJsonValue::TKind::Bool, true},
                                               std::tuple{"false", TJsonValue::TKind::Bool, false},
                                               std::tuple{"null", TJsonValue::TKind::Null, false}})
            if (fText.substr(fAt).starts_with(word)) {
                fAt += std::string_view(word).size();
                AValue.fKind = kind;
                AValue.fBool = flag;
                return true;
            }
        AValue.fKind = TJsonValue::TKind::Number;
        return ReadInteger(AValue.fNumber);
    }

private:
    // Four hexadecimal digits after \u, a surrogate pair joined, as UTF-8.
    bool ReadHex4(uint32_t& AUnit) {
        if (fText.size() - fAt < 4)
            return false;
        AUnit = 0;
        for (int i = 0; i < 4; ++i) {
            const char h = fText[fAt++];
            const int digit = h >= '0' && h <= '9'   ? h - '0'
                              : h >= 'a' && h <= 'f' ? h - 'a' + 10
                              : h >= 'A' && h <= 'F' ? h - 'A' + 10
                                                     : -1;
            if (digit < 0)
                return false;
            AUnit = AUnit * 16 + uint32_t(digit);
        }
        return true;
    }
    bool ReadCodePoint(std::string& AOut) {
        uint32_t code = 0;
        if (!ReadHex4(code) || (code >= 0xDC00 && code <= 0xDFFF))
            return false;
        if (code >= 0xD800 && code <= 0xDBFF) {
            uint32_t low = 0;
            if (fText.substr(fAt, 2) != "\\u")
                return false;
            fAt += 2;
            if (!ReadHex4(low) || low < 0xDC00 || low > 0xDFFF)
                return false;
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        }
        if (code < 0x80) {
            AOut += char(code);
        } else if (code < 0x800) {
            AOut += char(0xC0 | (code >> 6));
            AOut += char(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            AOut += char(0xE0 | (code >> 12));
            AOut += char(0x80 | ((code >> 6) & 0x3F));
            AOut += char(0x80 | (code & 0x3F));
        } else {
            AOut += char(0xF0 | (code >> 18));
            AOut += char(0x80 | ((code >> 12) & 0x3F));
            AOut += char(0x80 | ((code >> 6) & 0x3F));
            AOut += char(0x80 | (code & 0x3F));
        }
        return true;
    }
    // An integer without fraction or exponent, within int64_t.
    bool ReadInteger(int64_t& AValue) {
        const bool negative = fAt < fText.size() && fText[fAt] == '-';
        if (negative)
            ++fAt;
        const std::size_t first = fAt;
        uint64_t magnitude = 0;
        const uint64_t limit = negative ? uint64_t(std::numeric_limits<int64_t>::max()) + 1
                                        : uint64_t(std::numeric_limits<int64_t>::max());
        while (fAt < fText.size() && fText[fAt] >= '0' && fText[fAt] <= '9') {
            const uint64_t digit = uint64_t(fText[fAt++] - '0');
            if (magnitude > (limit - digit) / 10)
                return false;
            magnitude = magnitude * 10 + digit;
        }
        // JSON has no leading zeros; a fraction or exponent is no integer.
        if (fAt == first || (fAt - first > 1 && fText[first] == '0'))
            return false;
        if (fAt < fText.size() && (fText[fAt] == '.' || fText[fAt] == 'e' || fText[fAt] == 'E'))
            return false;
        AValue = negative ? int64_t(0 - magnitude) : int64_t(magnitude);
        return true;
    }

    std::string_view fText;
    std::size_t fAt = 0;
};

} // namespace

std::optional<std::map<std::string, TJsonValue>> ParseJsonLine(std::string_view ALine) {
    TJsonReader reader(ALine);
    std::map<std::string, TJsonValue> members;
    if (!reader.Take('{'))
        return std::nullopt;
    if (!reader.Take('}')) {
        do {
            std::string name;
            TJsonValue value;
            if (!reader.ReadString(name) || !reader.Take(':') || !reader.ReadValue(value))
                return std::nullopt;
            members[name] = std::move(value);
        } while (reader.Take(','));
        if (!reader.Take('}'))
            return std::nullopt;
    }
    if (!reader.AtEnd())
        return std::nullopt;
    return members;
}

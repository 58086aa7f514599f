#pragma once
// One JSON object per line whose members are strings, integers, booleans or null: the lines the
// console front end prints for --json and the records of the update history. The writer escapes
// every string; the reader takes only such flat objects and refuses anything else whole (a torn or
// damaged line), so that a caller can skip the line.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

// Builds one object, members in the order added.
class TJsonLine {
public:
    TJsonLine& AddText(const char* AName, std::string_view AText);
    TJsonLine& AddNumber(const char* AName, int64_t AValue);
    // A version, or null when AValue holds none.
    TJsonLine& AddNumber(const char* AName, std::optional<uint16_t> AValue);
    TJsonLine& AddBool(const char* AName, bool AValue);
    // The object, without a line end.
    std::string Text() const { return "{" + fMembers + "}"; }

private:
    void AddName(const char* AName);
    std::string fMembers;
};

// A member's value as read back.
struct TJsonValue {
    enum class TKind { Text, Number, Bool, Null };
    TKind fKind = TKind::Null;
    std::string fText;
    int64_t fNumber = 0;
    bool fBool = false;
};

// The members of ALine when it is exactly one flat object (blanks around it allowed); none when it is
// anything else: cut short, nested, a number with a fraction or out of range, a bad escape.
std::optional<std::map<std::string, TJsonValue>> ParseJsonLine(std::string_view ALine);

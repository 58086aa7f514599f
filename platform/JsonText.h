#pragma once
// JSON string literals for the programs' JSON output.
#include <string>
#include <string_view>

// AText as a quoted JSON string that is always valid UTF-8: the quote, the backslash and the
// control characters (C0 and DEL) escaped, well-formed UTF-8 sequences kept as they are, and every
// other byte taken as the Latin-1 character of its value (the device library's texts are ANSI).
std::string JsonString(std::string_view AText);

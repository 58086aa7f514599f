#pragma once
// Text between the library's UTF-8 and the UTF-16 of the system's "W" entry points, and the
// system's own words for an error number.
#include <windows.h>

#include <string>
#include <string_view>

// Malformed UTF-8 becomes U+FFFD, never a truncated string.
std::wstring Utf8ToWide(std::string_view AText);
std::string WideToUtf8(std::wstring_view AText);
// The system's message for AError (a GetLastError number), without the trailing line break.
std::string SystemErrorText(DWORD AError);

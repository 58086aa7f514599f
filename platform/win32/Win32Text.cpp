#include "platform/win32/Win32Text.h"

#include <climits>

std::wstring Utf8ToWide(std::string_view AText) {
    if (AText.empty() || AText.size() > std::size_t(INT_MAX))
        return {};
    const int length = int(AText.size());
    const int needed = MultiByteToWideChar(CP_UTF8, 0, AText.data(), length, nullptr, 0);
    if (needed <= 0)
        return {};
    std::wstring wide(std::size_t(needed), L'\0');
    const int written = MultiByteToWideChar(CP_UTF8, 0, AText.data(), length, wide.data(), needed);
    // The second call is held to the size the first one announced.
    wide.resize(written > 0 && written <= needed ? std::size_t(written) : 0);
    return wide;
}

std::string WideToUtf8(std::wstring_view AText) {
    if (AText.empty() || AText.size() > std::size_t(INT_MAX))
        return {};
    const int length = int(AText.size());
    const int needed = WideCharToMultiByte(CP_UTF8, 0, AText.data(), length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0)
        return {};
    std::string text(std::size_t(needed), '\0');
    const int written =
        WideCharToMultiByte(CP_UTF8, 0, AText.data(), length, text.data(), needed, nullptr, nullptr);
    text.resize(written > 0 && written <= needed ? std::size_t(written) : 0);
    return text;
}

std::string SystemErrorText(DWORD AError) {
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                            FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, AError, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::string text = buffer && length > 0 ? WideToUtf8(std::wstring_view(buffer, length)) : std::string();
    LocalFree(buffer);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    return text.empty() ? "system error " + std::to_string(AError) : text;
}

#include "platform/AppendFile.h"

#include "platform/win32/Win32Text.h"

#include <algorithm>

namespace {

[[noreturn]] void Fail(const std::string& AFile, const std::string& ACause) {
    throw EAppendFileError("cannot append to " + AFile + ": " + ACause);
}

} // namespace

void AppendToFile(const std::string& AFileName, std::string_view AData) {
    const std::wstring name = Utf8ToWide(AFileName);
    if (name.empty())
        Fail(AFileName, "not a valid file name");
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) != 0)
        Fail(AFileName, "not a regular file");
    // Append access only: every write lands at the end of the file, as O_APPEND does.
    HANDLE hFile = CreateFileW(name.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        Fail(AFileName, SystemErrorText(GetLastError()));
    DWORD error = 0;
    for (std::size_t done = 0; done < AData.size() && error == 0;) {
        const DWORD ask = DWORD(std::min<std::size_t>(AData.size() - done, 1u << 20));
        DWORD written = 0;
        if (!WriteFile(hFile, AData.data() + done, ask, &written, nullptr))
            error = GetLastError();
        // The count comes back from the system: nothing or more than was asked for is not believed.
        else if (written == 0 || written > ask)
            error = ERROR_WRITE_FAULT;
        else
            done += written;
    }
    if (error == 0 && !FlushFileBuffers(hFile))
        error = GetLastError();
    if (!CloseHandle(hFile) && error == 0)
        error = GetLastError();
    if (error != 0)
        Fail(AFileName, SystemErrorText(error));
}

#include "platform/RegularFile.h"

#include "platform/win32/Win32Text.h"

namespace {

[[noreturn]] void Fail(const std::string& AWhat, const std::string& AFile, const std::string& ACause) {
    throw ERegularFileError(AWhat + " " + AFile + ": " + ACause);
}

// Closes the handle however the reading ends.
struct THandleCloser {
    HANDLE hFile;
    ~THandleCloser() { CloseHandle(hFile); }
};

} // namespace

std::optional<std::string> ReadRegularFile(const std::string& AFile, std::size_t AMaxBytes) {
    const std::wstring name = Utf8ToWide(AFile);
    // FILE_FLAG_OPEN_REPARSE_POINT opens a link itself rather than what it points to, so that it
    // is seen and refused; a folder cannot be opened without backup semantics and is looked at
    // when the open fails.
    HANDLE hFile =
        CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return std::nullopt;
        const DWORD attributes = GetFileAttributesW(name.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
            Fail("cannot read", AFile, "not a regular file");
        Fail("cannot open", AFile, SystemErrorText(error));
    }
    THandleCloser closer{hFile};
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(hFile) != FILE_TYPE_DISK || !GetFileInformationByHandle(hFile, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0)
        Fail("cannot read", AFile, "not a regular file");
    const unsigned long long size =
        (static_cast<unsigned long long>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    if (size > AMaxBytes)
        Fail("cannot read", AFile, "File too large");
    std::string data;
    char buffer[4096];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(hFile, buffer, sizeof buffer, &got, nullptr))
            Fail("cannot read", AFile, SystemErrorText(GetLastError()));
        // The count comes back from the system: more than the buffer holds is not believed.
        if (got > sizeof buffer)
            Fail("cannot read", AFile, "the system read " + std::to_string(got) + " bytes");
        if (got == 0)
            break;
        data.append(buffer, got);
        if (data.size() > AMaxBytes)
            Fail("cannot read", AFile, "File too large");
    }
    return data;
}

#include "platform/AtomicFile.h"

#include "platform/win32/Win32Text.h"

#include <algorithm>
#include <atomic>

namespace {

[[noreturn]] void Fail(const std::string& AWhat, const std::string& AFile, const std::string& ACause) {
    throw EAtomicWriteError(AWhat + " " + AFile + ": " + ACause);
}

void WriteAll(HANDLE hFile, std::string_view AData, const std::string& AFile) {
    for (std::size_t done = 0; done < AData.size();) {
        const DWORD ask = DWORD(std::min<std::size_t>(AData.size() - done, 1u << 20));
        DWORD written = 0;
        if (!WriteFile(hFile, AData.data() + done, ask, &written, nullptr))
            Fail("cannot write", AFile, SystemErrorText(GetLastError()));
        // The count comes back from the system: more than was asked for is not believed.
        if (written == 0 || written > ask)
            Fail("cannot write", AFile, "the system wrote " + std::to_string(written) + " bytes");
        done += written;
    }
}

} // namespace

void ReplaceFileContents(const std::string& AFileName, std::string_view AData) {
    const std::wstring target = Utf8ToWide(AFileName);
    if (target.empty())
        Fail("cannot write", AFileName, "not a valid file name");
    const DWORD attributes = GetFileAttributesW(target.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) != 0)
        Fail("cannot replace", AFileName, "not a regular file");
    // Unique within the process too, so that two threads saving the same file do not collide.
    static std::atomic<unsigned> counter{0};
    const std::string tempName =
        AFileName + "." + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++) + ".tmp";
    const std::wstring temp = Utf8ToWide(tempName);
    // CREATE_NEW: a leftover or planted file of that name is never written through.
    HANDLE hFile =
        CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        Fail("cannot write", AFileName,
             "cannot create a temporary file beside it: " + SystemErrorText(GetLastError()));
    try {
        WriteAll(hFile, AData, AFileName);
    } catch (...) {
        CloseHandle(hFile);
        DeleteFileW(temp.c_str());
        throw;
    }
    DWORD error = 0;
    if (!FlushFileBuffers(hFile))
        error = GetLastError();
    if (!CloseHandle(hFile) && error == 0)
        error = GetLastError();
    // Write-through: the call returns once the new name is on the disk.
    if (error == 0 &&
        !MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        error = GetLastError();
    if (error != 0) {
        DeleteFileW(temp.c_str());
        Fail("cannot write", AFileName, SystemErrorText(error));
    }
}

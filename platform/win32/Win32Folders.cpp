#include "platform/Folders.h"

#include "platform/win32/Win32Text.h"

#include <knownfolders.h>
#include <shlobj.h>

std::string UserDataFolder() {
    PWSTR path = nullptr;
    std::string folder;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &path)) && path)
        folder = WideToUtf8(path);
    CoTaskMemFree(path);
    while (folder.size() > 3 && (folder.back() == '\\' || folder.back() == '/'))
        folder.pop_back();
    return folder;
}

bool IsFolder(const std::string& APath) {
    // A junction or link to a folder carries the folder attribute too.
    const DWORD attributes = GetFileAttributesW(Utf8ToWide(APath).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool MakeFolder(const std::string& APath) {
    if (IsFolder(APath))
        return true;
    return CreateDirectoryW(Utf8ToWide(APath).c_str(), nullptr) ||
           (GetLastError() == ERROR_ALREADY_EXISTS && IsFolder(APath));
}

void MakeFolderWithParents(const std::string& APath) {
    // A drive ("C:") or a share name in front fails to be created and is passed over.
    for (size_t slash = APath.find_first_of("/\\", 1); slash != std::string::npos;
         slash = APath.find_first_of("/\\", slash + 1))
        CreateDirectoryW(Utf8ToWide(APath.substr(0, slash)).c_str(), nullptr);
    CreateDirectoryW(Utf8ToWide(APath).c_str(), nullptr);
}

#include "platform/Folders.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

std::string UserDataFolder() {
    // A relative XDG_DATA_HOME is invalid by the base-directory rules and is ignored.
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && xdg[0] == '/')
        return xdg;
    std::string home;
    if (const char* env = std::getenv("HOME"); env && env[0] != '\0')
        home = env;
    else if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir)
        home = pw->pw_dir;
    if (home.empty())
        return {};
    if (home.back() == '/')
        home.pop_back();
    return home + "/.local/share";
}

bool IsFolder(const std::string& APath) {
    // stat follows links, so a link to a folder counts as the folder.
    struct stat info {};
    return stat(APath.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool MakeFolder(const std::string& APath) {
    if (IsFolder(APath))
        return true;
    return mkdir(APath.c_str(), 0777) == 0 || (errno == EEXIST && IsFolder(APath));
}

void MakeFolderWithParents(const std::string& APath) {
    for (size_t slash = APath.find('/', 1); slash != std::string::npos; slash = APath.find('/', slash + 1))
        mkdir(APath.substr(0, slash).c_str(), 0700);
    mkdir(APath.c_str(), 0700);
}

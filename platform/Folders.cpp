#include "platform/Folders.h"

#include <pwd.h>
#include <unistd.h>

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

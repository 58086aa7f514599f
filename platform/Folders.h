#pragma once
// The per-user folder base for application data: $XDG_DATA_HOME when set to an absolute path,
// else ~/.local/share. Empty when neither can be determined.
#include <string>

std::string UserDataFolder();

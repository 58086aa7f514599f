#pragma once
// The per-user folder base for application data, and folder creation. Paths are UTF-8.
// Linux: $XDG_DATA_HOME when set to an absolute path, else ~/.local/share.
// Windows: the user's local (not roaming) application-data folder.
// Empty when it cannot be determined.
#include <string>

std::string UserDataFolder();

// True when APath is a folder; a link to a folder counts as the folder.
bool IsFolder(const std::string& APath);
// Creates the folder APath (its parent must exist); true when APath is a folder afterwards.
bool MakeFolder(const std::string& APath);
// Creates APath and its missing parents, private to the user as the data folder base should be.
void MakeFolderWithParents(const std::string& APath);

// The user's home folder and folder creation.
#pragma once

#include <string>

// The current user's home folder, from the password database (never from $HOME).
// Throws when it cannot be found.
std::string homeFolder();

// Creates the folder and any missing parents, each with permissions exactly 0700.
// An existing folder (also one reached through a symbolic link) is left as it is.
// Throws when something other than a folder stands in the way, or creation fails.
void createPrivateFolders(const std::string& path);

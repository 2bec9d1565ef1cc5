// The user's home folder and folder creation.
#pragma once

#include <string>

// The folder the tool's own folder goes in, asked of the system, never of an environment
// variable: on macOS and Linux the home folder from the password database, on Windows the
// local application data folder. Throws when it cannot be found.
std::string homeFolder();

// macOS and Linux: creates the folder and any missing parents, each with permissions exactly 0700.
// An existing folder (also one reached through a symbolic link) is left as it is.
// Throws when something other than a folder stands in the way, or creation fails.
void createPrivateFolders(const std::string& path);

// The add-on's own file, as the system knows it: UXP loaded it from the folder of the right
// platform and architecture, so the tool beside it is the one to start, whatever the host
// says the platform is. One implementation per platform (own_file_posix.cpp,
// own_file_windows.cpp).
#pragma once

#include <string>

// The path of the tool in the add-on's folder, in UTF-8; empty when it cannot be told.
std::string toolBesideAddon();

// Keeps the add-on loaded until the process ends, so that a task it scheduled on the host's
// queue can still run, or be freed, after the host unloads it.
void keepAddonLoaded();

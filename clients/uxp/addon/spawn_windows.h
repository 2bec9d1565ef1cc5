// Starting a program on Windows as the add-on does, also used by the tests that start the tool.
#pragma once

#include "platform/handle_windows.h"

#include <string>

// A pipe of which only the child's end can be inherited.
bool makePipe(Handle& readEnd, Handle& writeEnd, bool childReads);

// The program with the three handles as its standard ones, no window, and nothing else of this
// process inherited. None when it cannot be started.
Handle spawnWithStandardHandles(const std::wstring& binary, HANDLE input, HANDLE output,
                                HANDLE errors);

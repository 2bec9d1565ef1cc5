// Starting a program on Windows as the add-on does, also used by the tests that start the tool.
#pragma once

#include "platform/handle_windows.h"

#include <string>

// A pipe neither of whose ends can be inherited, so a process the host starts meanwhile gets
// no copy of it.
bool makePipe(Handle& readEnd, Handle& writeEnd);

// The program with the three handles as its standard ones, no window, and nothing else of this
// process inherited. The three are inheritable only for the moment of the start. None when it
// cannot be started.
Handle spawnWithStandardHandles(const std::wstring& binary, HANDLE input, HANDLE output,
                                HANDLE errors);

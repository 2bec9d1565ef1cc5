// Whether this process holds the host's session lock, asked without waiting. The in-memory
// keychain asks at every change, so a change made outside the lock fails a test every time
// rather than by a lost race.
#pragma once

#include <string>

bool sessionLockHeld(const std::string& host);

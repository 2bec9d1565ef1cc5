// The per-host lock file in a private folder that serialises the tool's instances.
#pragma once

#include <cstdint>
#include <string_view>

// The open lock file holding the lock: a descriptor on macOS and Linux, a HANDLE on Windows.
using LockHandle = std::intptr_t;

// Ensures the private lock folder, opens the host's lock file and waits for its exclusive
// lock. Ends the process on a privacy or lock failure; throws when the folder cannot be
// created. Returns the open lock file.
LockHandle acquireSessionLock(std::string_view host);

// Unlocks, then closes.
void releaseSessionLock(LockHandle handle);

// The per-host lock file in a private folder that serialises the tool's instances.
#pragma once

#include <string_view>

// Ensures the private lock folder, opens the host's lock file and waits for its exclusive
// lock. Ends the process on a privacy or lock failure; throws when the folder cannot be
// created. Returns the descriptor holding the lock.
int acquireSessionLock(std::string_view host);

// Unlocks, then closes.
void releaseSessionLock(int handle);

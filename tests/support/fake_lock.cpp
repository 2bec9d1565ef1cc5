// Test stand-in for the session lock, where one process serves many runs and no other process
// competes: always granted at once. (On macOS and Linux the in-process tests use the real lock.)
#include "lock/session_lock.h"

LockHandle acquireSessionLock(std::string_view /*host*/) {
    return 0;
}

void releaseSessionLock(LockHandle /*handle*/) {}

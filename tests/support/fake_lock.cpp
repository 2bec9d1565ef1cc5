// Test stand-in for the session lock, where one process serves many runs and no other process
// competes: always granted at once, and remembered, so the in-memory keychain can check that
// every change is made while it is held. (On macOS and Linux the in-process tests use the
// real lock.)
#include "lock/session_lock.h"
#include "lock_probe.h"

namespace {

std::string heldHost;

} // namespace

LockHandle acquireSessionLock(std::string_view host) {
    heldHost = host;
    return 1;
}

void releaseSessionLock(LockHandle /*handle*/) {
    heldHost.clear();
}

bool sessionLockHeld(const std::string& host) {
    return heldHost == host;
}

#include "lock_probe.h"

#include "platform/files.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

// A second open file description of the lock file: a lock held through the tool's own
// descriptor makes a non-blocking lock through this one fail.
bool sessionLockHeld(const std::string& host) {
    const std::string path =
        homeFolder() + "/Library/Application Support/Sandrel Adobe Auth/" + host + ".lock";
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg)
    const int probe = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (probe < 0) {
        return false;
    }
    const bool held = flock(probe, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(probe); // also drops the probe's own lock, if it got one
    return held;
}

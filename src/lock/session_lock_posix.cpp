#include "app/envelope.h"
#include "lock/session_lock.h"
#include "platform/files.h"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::string_view lockFolderInHome = "/Library/Application Support/Sandrel Adobe Auth";
constexpr mode_t groupAndOtherBits = 077;
constexpr mode_t lockFileMode = S_IRUSR | S_IWUSR;

bool isPrivate(const struct stat& status) {
    return status.st_uid == getuid() && (status.st_mode & groupAndOtherBits) == 0;
}

// The folder is opened once and judged through its descriptor, and the lock file is opened
// relative to that descriptor: a folder swapped in after the check cannot redirect the lock.
// O_NOFOLLOW refuses a symbolic link in the folder's place. Ends the process if not private.
int openPrivateFolder(const std::string& folder) {
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg)
    const int handle = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat status {};
    if (handle < 0 || fstat(handle, &status) != 0 || !S_ISDIR(status.st_mode) ||
        !isPrivate(status)) {
        fail(Message::lockFolderNotPrivate);
    }
    return handle;
}

// A new lock file is exactly 0600 whatever the umask, as the folders are exactly 0700; an
// existing one is opened unchanged and judged by the caller. O_NOFOLLOW refuses a link at the
// name; O_NONBLOCK keeps a FIFO there from blocking the open (the caller refuses it).
int openLockFile(int folder, const std::string& name) {
    constexpr int flags = O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg)
    const int created = openat(folder, name.c_str(), flags | O_CREAT | O_EXCL, lockFileMode);
    if (created >= 0) {
        return fchmod(created, lockFileMode) == 0 ? created : -1;
    }
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg)
    return errno == EEXIST ? openat(folder, name.c_str(), flags) : -1;
}

} // namespace

LockHandle acquireSessionLock(std::string_view host) {
    const std::string folderPath = homeFolder() + std::string(lockFolderInHome);
    createPrivateFolders(folderPath);
    const int folder = openPrivateFolder(folderPath);

    const int handle = openLockFile(folder, std::string(host) + ".lock");
    static_cast<void>(close(folder)); // no longer needed; nothing was written through it
    if (handle < 0) {
        fail(Message::cannotLock);
    }
    // The descriptor is judged, so the file inspected is the file locked. On failure it is
    // left open: the process ends at once and that closes it.
    struct stat lockStatus {};
    if (fstat(handle, &lockStatus) != 0 || !isPrivate(lockStatus) || !S_ISREG(lockStatus.st_mode)) {
        fail(Message::cannotLock);
    }
    if (flock(handle, LOCK_EX) != 0) {
        fail(Message::cannotLock);
    }
    return handle;
}

void releaseSessionLock(LockHandle handle) {
    static_cast<void>(flock(static_cast<int>(handle), LOCK_UN));
    static_cast<void>(close(static_cast<int>(handle)));
}

#include "lock/session_lock.h"

#include "app/envelope.h"
#include "platform/files.h"

#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::string_view lockFolderInHome = "/Library/Application Support/Sandrel Adobe Auth";
constexpr mode_t groupAndOtherBits = 077;

bool isPrivate(const struct stat& status) {
    return status.st_uid == getuid() && (status.st_mode & groupAndOtherBits) == 0;
}

} // namespace

int acquireSessionLock(std::string_view host) {
    const std::string folder = homeFolder() + std::string(lockFolderInHome);
    createPrivateFolders(folder);

    // lstat, so a symbolic link in the folder's place is judged, not followed.
    struct stat folderStatus {};
    if (lstat(folder.c_str(), &folderStatus) != 0 || !S_ISDIR(folderStatus.st_mode) ||
        !isPrivate(folderStatus)) {
        fail(Message::lockFolderNotPrivate);
    }

    const std::string lockPath = folder + "/" + std::string(host) + ".lock";
    // O_NOFOLLOW refuses a link at the name; O_NONBLOCK keeps a FIFO there from
    // blocking the open (the fstat below then refuses it); flock ignores it.
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg)
    const int handle =
        open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK,
             S_IRUSR | S_IWUSR);
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

void releaseSessionLock(int handle) {
    static_cast<void>(flock(handle, LOCK_UN));
    static_cast<void>(close(handle));
}

#include "app/envelope.h"
#include "lock/session_lock.h"
#include "platform/files.h"
#include "platform/private_folder_windows.h"
#include "platform/text_windows.h"

namespace {

constexpr std::wstring_view lockFolderInAppData = L"\\Sandrel Adobe Auth";

bool isPlainObject(HANDLE handle, bool folder) {
    DWORD attributes = 0;
    return attributesOf(handle, attributes) && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
           ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) == folder;
}

} // namespace

LockHandle acquireSessionLock(std::string_view host) {
    const std::unique_ptr<PrivateSecurity> security = privateSecurity();
    const std::wstring folder = widen(homeFolder()) + std::wstring(lockFolderInAppData);
    createPrivateFolder(folder, *security);

    // The folder is opened once, judged through the handle, and held open without delete
    // sharing until the process ends, so it cannot be renamed or swapped for another. A handle
    // with only attribute or security access takes no part in sharing checks, so it also asks
    // to list the folder. A junction or symbolic link in its place is opened as itself and
    // refused.
    HANDLE folderHandle =
        CreateFileW(folder.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES | FILE_LIST_DIRECTORY,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (folderHandle == INVALID_HANDLE_VALUE || !isPlainObject(folderHandle, true) ||
        !reachableOnlyByOwners(folderHandle, *security, false)) {
        fail(Message::lockFolderNotPrivate);
    }

    // Never deleted, and opened without delete sharing: a lock file that went away while held
    // is how waiting tools end up holding different locks.
    const std::wstring path = folder + L"\\" + widen(host) + L".lock";
    auto attributes = security->attributes;
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, &attributes, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    // Judged through the handle, so the file inspected is the file locked. On failure it is
    // left open: the process ends at once and that closes it.
    if (handle == INVALID_HANDLE_VALUE || !isPlainObject(handle, false) ||
        GetFileType(handle) != FILE_TYPE_DISK || !reachableOnlyByOwners(handle, *security, true)) {
        fail(Message::cannotLock);
    }
    OVERLAPPED whole{};
    if (LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &whole) == FALSE) {
        fail(Message::cannotLock);
    }
    return reinterpret_cast<LockHandle>(handle);
}

void releaseSessionLock(LockHandle lock) {
    // NOLINTNEXTLINE(performance-no-int-to-ptr): the handle came from this file, as an integer
    auto* const handle = reinterpret_cast<HANDLE>(lock);
    OVERLAPPED whole{};
    static_cast<void>(UnlockFileEx(handle, 0, 1, 0, &whole));
    static_cast<void>(CloseHandle(handle));
}

// Windows keychain: one file per item in a private folder, its data protected with DPAPI.
//
// Credential Manager holds at most 2,560 bytes a credential and a record may hold 32,768, so
// items are files: "Sandrel Adobe Auth\Items\<service>+<account>.item" under the local
// application data folder, created as privately as the lock folder. A file holds a header (a
// magic and a version), the label, and the data as a DPAPI blob of the user's scope whose
// entropy names the item's service and account, so a file moved to another item's name does
// not decode. A write goes to a temporary file beside the item, is flushed, and is moved into
// place, so a kill at any moment leaves the old item or the new one, never a torn one.
//
// Only data that DPAPI refuses as altered or not for this user's key is lost for good (the
// caller drops it). A file this tool cannot parse (a newer format, a stray file) is kept and
// read as an item without a record, which the caller reports as unreadable.
#include "platform/dpapi_status_windows.h"
#include "platform/files.h"
#include "platform/handle_windows.h"
#include "platform/keychain.h"
#include "platform/private_folder_windows.h"
#include "platform/text_windows.h"

#include <chrono>
#include <cstdint>
#include <cstring>
#include <dpapi.h>
#include <optional>
#include <stdexcept>
#include <string>

namespace {

constexpr std::string_view magic = "SNDRLITM";
constexpr std::uint32_t formatVersion = 1;
constexpr std::size_t largestItemFile = std::size_t{1} << 20; // far past any record's blob
constexpr std::chrono::milliseconds retryFor{2000};
constexpr DWORD retryPauseMs = 20;

// Antivirus, indexers and readers hold files open for moments: ERROR_ACCESS_DENIED and
// ERROR_SHARING_VIOLATION are tried again for up to about 2 s. False with the last error kept.
template <typename Attempt> bool retrying(Attempt attempt) {
    const auto giveUp = std::chrono::steady_clock::now() + retryFor;
    for (;;) {
        if (attempt()) {
            return true;
        }
        const DWORD error = GetLastError();
        if ((error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) ||
            std::chrono::steady_clock::now() >= giveUp) {
            SetLastError(error);
            return false;
        }
        Sleep(retryPauseMs);
    }
}

std::wstring toolFolder() {
    return widen(homeFolder()) + L"\\Sandrel Adobe Auth";
}

std::wstring itemsFolder() {
    return toolFolder() + L"\\Items";
}

// Lower-case letters, digits, "." "_" and "-" stand for themselves; every other byte, upper-case
// letters included, becomes %XX. Names are then distinct for distinct pairs even on a file
// system that ignores letter case, and "+" (always escaped) parts service from account.
std::wstring escaped(std::string_view text) {
    constexpr std::wstring_view hex = L"0123456789ABCDEF";
    std::wstring name;
    for (const char character : text) {
        const auto byte = static_cast<unsigned char>(character);
        if ((byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9') || byte == '.' ||
            byte == '_' || byte == '-') {
            name += static_cast<wchar_t>(byte);
        } else {
            name += L'%';
            name += hex[byte >> 4U];
            name += hex[byte & 0x0FU];
        }
    }
    return name;
}

std::wstring itemPath(const ItemAddress& address) {
    return itemsFolder() + L"\\" + escaped(address.service) + L"+" + escaped(address.account) +
           L".item";
}

std::string entropyOf(const ItemAddress& address) {
    return address.service + std::string(1, '\0') + address.account;
}

DATA_BLOB blobOf(const std::string& bytes) {
    return {static_cast<DWORD>(bytes.size()),
            reinterpret_cast<BYTE*>(const_cast<char*>(bytes.data()))};
}

std::optional<std::string> protect(const std::string& data, const ItemAddress& address) {
    DATA_BLOB input = blobOf(data);
    const std::string entropy = entropyOf(address);
    DATA_BLOB extra = blobOf(entropy);
    DATA_BLOB output{};
    if (CryptProtectData(&input, nullptr, &extra, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN,
                         &output) == FALSE) {
        return std::nullopt;
    }
    const std::unique_ptr<BYTE, LocalFreeDeleter> owner(output.pbData);
    return std::string(reinterpret_cast<const char*>(output.pbData), output.cbData);
}

// The status of a read whose blob DPAPI would not decrypt.
KeychainStatus unprotect(const std::string& blob, const ItemAddress& address, std::string& data) {
    DATA_BLOB input = blobOf(blob);
    const std::string entropy = entropyOf(address);
    DATA_BLOB extra = blobOf(entropy);
    DATA_BLOB output{};
    if (CryptUnprotectData(&input, nullptr, &extra, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN,
                           &output) == FALSE) {
        return statusOfUnprotectFailure(GetLastError());
    }
    const std::unique_ptr<BYTE, LocalFreeDeleter> owner(output.pbData);
    data.assign(reinterpret_cast<const char*>(output.pbData), output.cbData);
    SecureZeroMemory(output.pbData, output.cbData);
    return keychain::success;
}

// --- The item file: magic, version, label, blob; numbers are 32-bit little-endian ---

struct ItemFile {
    std::string label;
    std::string blob;
};

void appendNumber(std::string& out, std::uint32_t number) {
    for (int shift = 0; shift < 32; shift += 8) {
        out += static_cast<char>((number >> shift) & 0xFFU);
    }
}

bool takeNumber(std::string_view& in, std::uint32_t& number) {
    if (in.size() < 4) {
        return false;
    }
    number = 0;
    for (int index = 3; index >= 0; --index) {
        number = (number << 8U) | static_cast<unsigned char>(in[static_cast<std::size_t>(index)]);
    }
    in.remove_prefix(4);
    return true;
}

bool takeText(std::string_view& in, std::string& text) {
    std::uint32_t length = 0;
    if (!takeNumber(in, length) || in.size() < length) {
        return false;
    }
    text.assign(in.substr(0, length));
    in.remove_prefix(length);
    return true;
}

std::string encodeItem(const ItemFile& item) {
    std::string out(magic);
    appendNumber(out, formatVersion);
    appendNumber(out, static_cast<std::uint32_t>(item.label.size()));
    out += item.label;
    appendNumber(out, static_cast<std::uint32_t>(item.blob.size()));
    out += item.blob;
    return out;
}

std::optional<ItemFile> decodeItem(std::string_view in) {
    ItemFile item;
    std::uint32_t version = 0;
    if (in.substr(0, magic.size()) != magic) {
        return std::nullopt;
    }
    in.remove_prefix(magic.size());
    if (!takeNumber(in, version) || version != formatVersion || !takeText(in, item.label) ||
        !takeText(in, item.blob) || !in.empty()) {
        return std::nullopt;
    }
    return item;
}

} // namespace

// What Microsoft documents for CryptUnprotectData's errors, and what each means here:
//   ERROR_INVALID_DATA  (13)          the blob is altered, or its entropy names another item
//   lasting NTE_BAD_DATA        (0x80090005)  the blob is not valid protected data lasting
//   NTE_BAD_KEY_STATE   (0x8009000B)  "key not valid for use in specified state": the blob is
//                                     another user's or machine's, or the master key is gone
//                                     with a password reset lasting
//   anything else                     out of memory, the security authority unreachable, a
//                                     profile not loaded yet, master keys not yet migrated
//                                     after a domain move (CryptUpdateProtectedState) passing
// Lasting errors are -25293, and the caller drops the item; passing ones are -25291, and
// nothing is deleted for them.
KeychainStatus statusOfUnprotectFailure(DWORD error) {
    const auto code = static_cast<HRESULT>(error);
    const bool lasting =
        error == ERROR_INVALID_DATA || code == NTE_BAD_DATA || code == NTE_BAD_KEY_STATE;
    return lasting ? keychain::authFailed : keychain::notAvailable;
}

namespace {

// --- Files ---

KeychainStatus unavailableOrMissing() {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? keychain::itemNotFound
                                                                          : keychain::notAvailable;
}

// Success with `parsed` false for a file that is there but is not a version 1 item file.
KeychainStatus readItem(const std::wstring& path, ItemFile& item, bool& parsed) {
    parsed = false;
    HANDLE raw = INVALID_HANDLE_VALUE;
    // Delete sharing, so a writer's POSIX-semantics rename can replace the item while this
    // reader holds it. (A plain replacing rename fails while the target is open in any share
    // mode; the writer then retries.)
    if (!retrying([&] {
            raw = CreateFileW(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            return raw != INVALID_HANDLE_VALUE;
        })) {
        return unavailableOrMissing();
    }
    const Handle file(raw);
    LARGE_INTEGER size{};
    if (GetFileSizeEx(raw, &size) == FALSE) {
        return keychain::notAvailable;
    }
    if (size.QuadPart < 0 || static_cast<std::uint64_t>(size.QuadPart) > largestItemFile) {
        return keychain::success; // not an item this tool can read, but kept
    }
    std::string contents(static_cast<std::size_t>(size.QuadPart), '\0');
    DWORD got = 0;
    for (std::size_t done = 0; done < contents.size(); done += got) {
        if (ReadFile(raw, contents.data() + done, static_cast<DWORD>(contents.size() - done), &got,
                     nullptr) == FALSE ||
            got == 0) {
            return keychain::notAvailable;
        }
    }
    auto decoded = decodeItem(contents);
    if (decoded) {
        item = std::move(*decoded);
        parsed = true;
    }
    return keychain::success;
}

// FileRenameInfoEx, which the SDK's headers declare only for _WIN32_WINNT 0x0A000002 and later.
constexpr auto fileRenameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);

// Moves the open temporary file over `path` with POSIX semantics (Windows 10 1809 and later, on
// NTFS): a replace then succeeds while others hold the old item open. A plain replacing rename
// fails while the target is open in any share mode (an antivirus, a backup, an indexer), and is
// only retried. False with the last error kept; ERROR_INVALID_PARAMETER, ERROR_NOT_SUPPORTED,
// ERROR_INVALID_FUNCTION and ERROR_FILE_SYSTEM_LIMITATION (exFAT) mean the system or file
// system lacks it.
bool renameOpenFile(HANDLE file, const std::wstring& path, bool replace) {
    const std::size_t nameBytes = path.size() * sizeof(wchar_t);
    std::string buffer(sizeof(FILE_RENAME_INFO) + nameBytes, '\0');
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    info->Flags =
        FILE_RENAME_FLAG_POSIX_SEMANTICS | (replace ? FILE_RENAME_FLAG_REPLACE_IF_EXISTS : 0);
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(nameBytes);
    std::memcpy(static_cast<void*>(info->FileName), path.data(), nameBytes);
    return SetFileInformationByHandle(file, fileRenameInfoEx, info,
                                      static_cast<DWORD>(buffer.size())) != FALSE;
}

// ERROR_FILE_SYSTEM_LIMITATION, which some SDK headers (mingw-w64's among them) lack.
constexpr DWORD fileSystemLimitation = 665;

bool unsupported(DWORD error) {
    return error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED ||
           error == ERROR_INVALID_FUNCTION || error == fileSystemLimitation;
}

KeychainStatus moveFailure(DWORD error, bool replace) {
    return !replace && (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS)
               ? keychain::duplicateItem
               : keychain::notAvailable;
}

// Writes beside the item, flushes, and moves into place: over the item only when `replace`,
// so an add creates the item only if none exists.
KeychainStatus writeItem(const std::wstring& path, const ItemFile& item, bool replace) {
    const std::unique_ptr<PrivateSecurity> security = privateSecurity();
    createPrivateFolder(toolFolder(), *security); // made by the lock already, in a real run
    createPrivateFolder(itemsFolder(), *security);
    const std::wstring temporary = path + L".new"; // a leftover from a killed run is reused
    const std::string contents = encodeItem(item);
    HANDLE raw = INVALID_HANDLE_VALUE;
    auto attributes = security->attributes;
    if (!retrying([&] {
            raw = CreateFileW(temporary.c_str(), GENERIC_WRITE | DELETE, 0, &attributes,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
            return raw != INVALID_HANDLE_VALUE;
        })) {
        return keychain::notAvailable;
    }
    Handle file(raw);
    DWORD written = 0;
    if (WriteFile(raw, contents.data(), static_cast<DWORD>(contents.size()), &written, nullptr) ==
            FALSE ||
        written != contents.size() || FlushFileBuffers(raw) == FALSE) {
        file.reset(); // closed first: it was opened without sharing
        static_cast<void>(DeleteFileW(temporary.c_str()));
        return keychain::notAvailable;
    }
    if (retrying([&] { return renameOpenFile(raw, path, replace); })) {
        return keychain::success;
    }
    const DWORD error = GetLastError();
    file.reset();
    if (!unsupported(error)) {
        static_cast<void>(DeleteFileW(temporary.c_str()));
        return moveFailure(error, replace);
    }
    const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
    if (!retrying([&] { return MoveFileExW(temporary.c_str(), path.c_str(), flags) != FALSE; })) {
        const DWORD moveError = GetLastError();
        static_cast<void>(DeleteFileW(temporary.c_str()));
        return moveFailure(moveError, replace);
    }
    return keychain::success;
}

// The calls answer with a status, never by raising: a folder, path or security descriptor that
// cannot be had is the store being unavailable for now.
template <typename Call> KeychainStatus answering(Call call) {
    try {
        return call();
    } catch (const std::exception&) {
        return keychain::notAvailable;
    }
}

} // namespace

KeychainStatus keychainSetUserInteractionAllowed(bool /*allowed*/) {
    // Nothing to turn off: every DPAPI call here forbids UI.
    return keychain::success;
}

KeychainStatus keychainCopyMatching(const Dictionary& query, std::optional<std::string>& data) {
    return answering([&] {
        ItemAddress address;
        if (!addressOf(query, address)) {
            return keychain::badParameter;
        }
        ItemFile item;
        bool parsed = false;
        if (const KeychainStatus status = readItem(itemPath(address), item, parsed);
            status != keychain::success || !parsed) {
            return status;
        }
        std::string plain;
        if (const KeychainStatus status = unprotect(item.blob, address, plain);
            status != keychain::success) {
            return status;
        }
        const auto* wantsData = findAttr<bool>(query, AttrKey::returnData);
        if (wantsData != nullptr && *wantsData) {
            data = std::move(plain);
        }
        return keychain::success;
    });
}

KeychainStatus keychainAdd(const Dictionary& attributes) {
    return answering([&] {
        ItemAddress address;
        const auto* label = findAttr<std::string>(attributes, AttrKey::label);
        const auto* bytes = findAttr<ItemBytes>(attributes, AttrKey::valueData);
        if (!addressOf(attributes, address) || label == nullptr || bytes == nullptr) {
            return keychain::badParameter;
        }
        auto blob = protect(bytes->bytes, address);
        if (!blob) {
            return keychain::notAvailable;
        }
        return writeItem(itemPath(address), {*label, std::move(*blob)}, false);
    });
}

KeychainStatus keychainUpdate(const Dictionary& query, const Dictionary& attributesToUpdate) {
    return answering([&] {
        ItemAddress address;
        const auto* bytes = findAttr<ItemBytes>(attributesToUpdate, AttrKey::valueData);
        if (!addressOf(query, address) || bytes == nullptr) {
            return keychain::badParameter;
        }
        const std::wstring path = itemPath(address);
        ItemFile item;
        bool parsed = false;
        if (const KeychainStatus status = readItem(path, item, parsed);
            status != keychain::success) {
            return status;
        }
        if (!parsed) {
            return keychain::notAvailable; // never written over: it may be a newer release's
        }
        auto blob = protect(bytes->bytes, address);
        if (!blob) {
            return keychain::notAvailable;
        }
        item.blob = std::move(*blob); // the label stays as it was
        return writeItem(path, item, true);
    });
}

KeychainStatus keychainDelete(const Dictionary& query) {
    return answering([&] {
        ItemAddress address;
        if (!addressOf(query, address)) {
            return keychain::badParameter;
        }
        const std::wstring path = itemPath(address);
        if (!retrying([&] { return DeleteFileW(path.c_str()) != FALSE; })) {
            return unavailableOrMissing();
        }
        return keychain::success;
    });
}

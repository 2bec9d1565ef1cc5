// Folders and files that only the user, SYSTEM and Administrators can reach, on Windows.
#pragma once

#include <memory>
#include <string>
#include <vector>
#include <windows.h>

struct LocalFreeDeleter {
    void operator()(void* memory) const { LocalFree(memory); }
};

// What a new private folder or file is created with: a protected DACL (nothing inherited)
// granting full control to the user, SYSTEM and Administrators alone, and the user as owner,
// also when the tool runs elevated. No OWNER RIGHTS entry: it breaks other tools.
struct PrivateSecurity {
    std::vector<BYTE> user;
    std::vector<BYTE> system;
    std::vector<BYTE> administrators;
    std::unique_ptr<ACL, LocalFreeDeleter> dacl;
    SECURITY_DESCRIPTOR descriptor{};
    SECURITY_ATTRIBUTES attributes{};
};

// Throws when the process's user or the DACL cannot be had. Heap-held: the attributes point
// into the rest.
std::unique_ptr<PrivateSecurity> privateSecurity();

// Creates the folder with the private security unless something stands at the path already;
// the caller judges what is there. Throws when it cannot be created.
void createPrivateFolder(const std::wstring& path, const PrivateSecurity& security);

// Judged through the handle: owned by the user (or, unless `ownedByUser`, by SYSTEM or
// Administrators), and no entry allows anyone else anything. Win32-OpenSSH judges ~/.ssh so.
bool reachableOnlyByOwners(HANDLE handle, const PrivateSecurity& security, bool ownedByUser);

// The attributes of the object behind the handle; none when they cannot be read.
bool attributesOf(HANDLE handle, DWORD& attributes);

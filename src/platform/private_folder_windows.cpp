#include "platform/private_folder_windows.h"

#include <aclapi.h>
#include <stdexcept>

namespace {

std::vector<BYTE> wellKnownSid(WELL_KNOWN_SID_TYPE type) {
    std::vector<BYTE> sid(SECURITY_MAX_SID_SIZE);
    DWORD size = static_cast<DWORD>(sid.size());
    if (CreateWellKnownSid(type, nullptr, sid.data(), &size) == FALSE) {
        throw std::runtime_error("well-known SID");
    }
    sid.resize(size);
    return sid;
}

std::vector<BYTE> processUserSid() {
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) == FALSE) {
        throw std::runtime_error("process token");
    }
    const std::unique_ptr<void, decltype(&CloseHandle)> owner(token, CloseHandle);
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    if (size == 0 || GetTokenInformation(token, TokenUser, buffer.data(), size, &size) == FALSE) {
        throw std::runtime_error("token user");
    }
    const PSID sid = reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid;
    const auto* first = static_cast<const BYTE*>(sid);
    return {first, first + GetLengthSid(sid)};
}

bool sameSid(PSID sid, const std::vector<BYTE>& known) {
    return EqualSid(sid, const_cast<BYTE*>(known.data())) != FALSE;
}

EXPLICIT_ACCESS_W fullControlFor(std::vector<BYTE>& sid) {
    EXPLICIT_ACCESS_W access{};
    access.grfAccessPermissions = GENERIC_ALL;
    access.grfAccessMode = SET_ACCESS;
    access.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_UNKNOWN;
    access.Trustee.ptstrName = reinterpret_cast<LPWSTR>(sid.data());
    return access;
}

} // namespace

std::unique_ptr<PrivateSecurity> privateSecurity() {
    auto security = std::make_unique<PrivateSecurity>();
    security->user = processUserSid();
    security->system = wellKnownSid(WinLocalSystemSid);
    security->administrators = wellKnownSid(WinBuiltinAdministratorsSid);
    EXPLICIT_ACCESS_W entries[] = {fullControlFor(security->user), fullControlFor(security->system),
                                   fullControlFor(security->administrators)};
    PACL dacl = nullptr;
    if (SetEntriesInAclW(3, entries, nullptr, &dacl) != ERROR_SUCCESS) {
        throw std::runtime_error("private DACL");
    }
    security->dacl.reset(dacl);
    SECURITY_DESCRIPTOR& descriptor = security->descriptor;
    if (InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) == FALSE ||
        SetSecurityDescriptorDacl(&descriptor, TRUE, dacl, FALSE) == FALSE ||
        SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED) == FALSE ||
        SetSecurityDescriptorOwner(&descriptor, security->user.data(), FALSE) == FALSE) {
        throw std::runtime_error("private security descriptor");
    }
    security->attributes = {sizeof(SECURITY_ATTRIBUTES), &descriptor, FALSE};
    return security;
}

void createPrivateFolder(const std::wstring& path, const PrivateSecurity& security) {
    auto attributes = security.attributes;
    if (CreateDirectoryW(path.c_str(), &attributes) == FALSE &&
        GetLastError() != ERROR_ALREADY_EXISTS) {
        throw std::runtime_error("create folder");
    }
}

bool reachableOnlyByOwners(HANDLE handle, const PrivateSecurity& security, bool ownedByUser) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(handle, SE_FILE_OBJECT,
                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                        &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    const std::unique_ptr<void, LocalFreeDeleter> held(descriptor);
    const auto trusted = [&](PSID sid) {
        return sameSid(sid, security.user) || sameSid(sid, security.system) ||
               sameSid(sid, security.administrators);
    };
    if (owner == nullptr || dacl == nullptr || // no DACL: everyone may do anything
        !(ownedByUser ? sameSid(owner, security.user) : trusted(owner))) {
        return false;
    }
    for (DWORD index = 0; index < dacl->AceCount; ++index) {
        void* entry = nullptr;
        if (GetAce(dacl, index, &entry) == FALSE) {
            return false;
        }
        const auto* header = static_cast<const ACE_HEADER*>(entry);
        if (header->AceType == ACCESS_DENIED_ACE_TYPE) {
            continue;
        }
        const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
        // Any other kind of entry might allow something: refuse what cannot be judged.
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE ||
            (allowed->Mask != 0 && !trusted(const_cast<DWORD*>(&allowed->SidStart)))) {
            return false;
        }
    }
    return true;
}

bool attributesOf(HANDLE handle, DWORD& attributes) {
    BY_HANDLE_FILE_INFORMATION information{};
    if (GetFileInformationByHandle(handle, &information) == FALSE) {
        return false;
    }
    attributes = information.dwFileAttributes;
    return true;
}

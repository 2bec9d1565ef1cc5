// macOS keychain: generic-password items of the Security framework, in the login keychain.
//
// Each portable dictionary becomes a CFDictionary with the framework's own constants. Every
// CoreFoundation object created or copied here has an owner that releases it.
#include "platform/cf_owned_macos.h"
#include "platform/keychain.h"

#include <Security/Security.h>

// The portable statuses are the framework's own codes: the backend passes answers up unchanged.
static_assert(keychain::success == errSecSuccess);
static_assert(keychain::badParameter == errSecParam);
static_assert(keychain::notAvailable == errSecNotAvailable);
static_assert(keychain::authFailed == errSecAuthFailed);
static_assert(keychain::duplicateItem == errSecDuplicateItem);
static_assert(keychain::itemNotFound == errSecItemNotFound);
static_assert(keychain::noDefaultKeychain == errSecNoDefaultKeychain);
static_assert(keychain::interactionNotAllowed == errSecInteractionNotAllowed);
static_assert(keychain::interactionRequired == errSecInteractionRequired);

namespace {

CFStringRef keyFor(AttrKey key) {
    switch (key) {
    case AttrKey::itemClass:
        return kSecClass;
    case AttrKey::service:
        return kSecAttrService;
    case AttrKey::account:
        return kSecAttrAccount;
    case AttrKey::label:
        return kSecAttrLabel;
    case AttrKey::valueData:
        return kSecValueData;
    case AttrKey::useAuthenticationUI:
        return kSecUseAuthenticationUI;
    case AttrKey::returnData:
        return kSecReturnData;
    case AttrKey::matchLimit:
        return kSecMatchLimit;
    }
    return nullptr;
}

// kSecUseAuthenticationUIFail is deprecated since macOS 11 in favour of an LAContext whose
// interaction is not allowed; the file-based login keychain that a command-line tool uses does
// not consult such a context, and still honours this value.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
CFTypeRef constantFor(AttrConstant constant) {
    switch (constant) {
    case AttrConstant::classGenericPassword:
        return kSecClassGenericPassword;
    case AttrConstant::authenticationUIFail:
        return kSecUseAuthenticationUIFail;
    case AttrConstant::matchLimitOne:
        return kSecMatchLimitOne;
    }
    return nullptr;
}
#pragma GCC diagnostic pop

const UInt8* bytesOf(const std::string& text) {
    return reinterpret_cast<const UInt8*>(text.data());
}

// A value the dictionary will retain: created here (and owned) or a framework constant.
CFOwned<CFTypeRef> createdValue(const AttrValue& value) {
    if (const auto* text = std::get_if<std::string>(&value)) {
        return CFOwned<CFTypeRef>(CFStringCreateWithBytes(kCFAllocatorDefault, bytesOf(*text),
                                                          static_cast<CFIndex>(text->size()),
                                                          kCFStringEncodingUTF8, 0));
    }
    if (const auto* data = std::get_if<ItemBytes>(&value)) {
        return CFOwned<CFTypeRef>(CFDataCreate(kCFAllocatorDefault, bytesOf(data->bytes),
                                               static_cast<CFIndex>(data->bytes.size())));
    }
    return nullptr;
}

CFTypeRef constantValue(const AttrValue& value) {
    if (const auto* flag = std::get_if<bool>(&value)) {
        return *flag ? kCFBooleanTrue : kCFBooleanFalse;
    }
    if (const auto* constant = std::get_if<AttrConstant>(&value)) {
        return constantFor(*constant);
    }
    return nullptr;
}

// None when any key or value cannot be made.
CFOwned<CFMutableDictionaryRef> toCF(const Dictionary& dictionary) {
    CFOwned<CFMutableDictionaryRef> result(CFDictionaryCreateMutable(
        kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
    if (!result) {
        return nullptr;
    }
    for (const auto& [key, value] : dictionary) {
        const CFOwned<CFTypeRef> created = createdValue(value);
        const CFTypeRef cfValue = created ? created.get() : constantValue(value);
        const CFStringRef cfKey = keyFor(key);
        if (cfKey == nullptr || cfValue == nullptr) {
            return nullptr;
        }
        CFDictionarySetValue(result.get(), cfKey, cfValue);
    }
    return result;
}

// With interaction off, a locked login keychain answers -25293 (or -25308) just as it does for an
// item this program is not trusted for. Only an unlocked keychain makes that answer final; when
// the lock state cannot be read, nothing may be discarded either. SecKeychainGetStatus is
// deprecated with the rest of SecKeychain, and still the one way to read the lock state.
bool defaultKeychainUnlocked() {
    SecKeychainStatus status = 0;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    const OSStatus read = SecKeychainGetStatus(nullptr, &status);
#pragma GCC diagnostic pop
    return read == errSecSuccess && (status & kSecUnlockStateStatus) != 0;
}

} // namespace

KeychainStatus keychainSetUserInteractionAllowed(bool allowed) {
    // Deprecated, and still the call that stops the file-based login keychain from prompting;
    // kSecUseAuthenticationUIFail alone does not cover every path there.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return SecKeychainSetUserInteractionAllowed(allowed ? 1 : 0);
#pragma GCC diagnostic pop
}

KeychainStatus keychainCopyMatching(const Dictionary& query, std::optional<std::string>& data) {
    const auto cfQuery = toCF(query);
    if (!cfQuery) {
        return keychain::badParameter;
    }
    CFTypeRef result = nullptr;
    const OSStatus status = SecItemCopyMatching(cfQuery.get(), &result);
    const CFOwned<CFTypeRef> owned(result);
    // Only a CFData is the item's data; anything else in the slot is no data.
    if (owned && CFGetTypeID(owned.get()) == CFDataGetTypeID()) {
        const auto* cfData = static_cast<CFDataRef>(owned.get());
        data.emplace(reinterpret_cast<const char*>(CFDataGetBytePtr(cfData)),
                     static_cast<std::size_t>(CFDataGetLength(cfData)));
    }
    if ((status == errSecAuthFailed || status == errSecInteractionNotAllowed) &&
        !defaultKeychainUnlocked()) {
        return keychain::interactionRequired;
    }
    return status;
}

KeychainStatus keychainAdd(const Dictionary& attributes) {
    const auto cfAttributes = toCF(attributes);
    return cfAttributes ? SecItemAdd(cfAttributes.get(), nullptr) : keychain::badParameter;
}

KeychainStatus keychainUpdate(const Dictionary& query, const Dictionary& attributesToUpdate) {
    const auto cfQuery = toCF(query);
    const auto cfAttributes = toCF(attributesToUpdate);
    return cfQuery && cfAttributes ? SecItemUpdate(cfQuery.get(), cfAttributes.get())
                                   : keychain::badParameter;
}

KeychainStatus keychainDelete(const Dictionary& query) {
    const auto cfQuery = toCF(query);
    return cfQuery ? SecItemDelete(cfQuery.get()) : keychain::badParameter;
}

// macOS keychain: generic-password items of the Security framework, in the default keychain
// (the login keychain unless the user chose another).
//
// Each portable dictionary becomes a CFDictionary with the framework's own constants. Every
// CoreFoundation object created or copied here has an owner that releases it.
#include "platform/cf_owned_macos.h"
#include "platform/keychain.h"

#include <Security/Security.h>
#include <utility>

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
// interaction is not allowed. Neither reaches the file-based keychain that a command-line tool
// uses: its SecItemCopyMatching never reads them, and what stops its prompts is
// SecKeychainSetUserInteractionAllowed(false) (see keychainSetUserInteractionAllowed). The value
// stays for the data-protection keychain, which does honour it.
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

// The SecKeychain calls below are deprecated with the rest of SecKeychain, and still the one way
// to learn which keychain holds an item and whether it is locked.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

// The keychain that holds the item the read query names, found by a reference lookup: nothing
// is decrypted, so no UI can appear. None when the item or its keychain cannot be had.
CFOwned<SecKeychainRef> keychainHolding(const Dictionary& readQuery) {
    Dictionary referenceQuery;
    for (const auto& entry : readQuery) {
        if (entry.first != AttrKey::returnData) {
            referenceQuery.push_back(entry);
        }
    }
    const auto cfQuery = toCF(referenceQuery);
    if (!cfQuery) {
        return nullptr;
    }
    CFDictionarySetValue(cfQuery.get(), kSecReturnRef, kCFBooleanTrue);
    CFTypeRef found = nullptr;
    const OSStatus status = SecItemCopyMatching(cfQuery.get(), &found);
    const CFOwned<CFTypeRef> item(found);
    if (status != errSecSuccess || !item || CFGetTypeID(item.get()) != SecKeychainItemGetTypeID()) {
        return nullptr;
    }
    SecKeychainRef keychain = nullptr;
    const OSStatus copied = SecKeychainItemCopyKeychain(
        static_cast<SecKeychainItemRef>(const_cast<void*>(item.get())), &keychain);
    CFOwned<SecKeychainRef> owned(keychain);
    return copied == errSecSuccess ? std::move(owned) : nullptr;
}

// Never the default keychain: another keychain may be the default, unlocked, while the one
// that holds the item is locked.
bool unlocked(SecKeychainRef keychain) {
    SecKeychainStatus status = 0;
    return keychain != nullptr && SecKeychainGetStatus(keychain, &status) == errSecSuccess &&
           (status & kSecUnlockStateStatus) != 0;
}

#pragma GCC diagnostic pop

} // namespace

KeychainStatus keychainSetUserInteractionAllowed(bool allowed) {
    // Deprecated, and still the only call that stops the file-based keychain from prompting:
    // its SecItem calls ignore kSecUseAuthenticationUI. Do not remove it.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return SecKeychainSetUserInteractionAllowed(allowed ? 1 : 0);
#pragma GCC diagnostic pop
}

// With interaction off, a locked keychain answers -25293 (or -25308) just as an unlocked one does
// for an item this program is not trusted for. Only the second is final, so the answer counts
// only when the keychain that holds the item was unlocked both before and after the data read;
// when that keychain or its state cannot be had, nothing may be discarded either.
KeychainStatus keychainCopyMatching(const Dictionary& query, std::optional<std::string>& data) {
    const auto cfQuery = toCF(query);
    if (!cfQuery) {
        return keychain::badParameter;
    }
    const CFOwned<SecKeychainRef> holder = keychainHolding(query);
    const bool unlockedBefore = unlocked(holder.get());
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
        !(unlockedBefore && unlocked(holder.get()))) {
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
    if (!cfQuery || !cfAttributes) {
        return keychain::badParameter;
    }
    const OSStatus status = SecItemUpdate(cfQuery.get(), cfAttributes.get());
    // The file-based keychain can answer -25299 after it has replaced the item (Apple's published
    // sources, _ReplaceKeychainItem). The caller's read-back decides byte for byte.
    return status == errSecDuplicateItem ? keychain::success : status;
}

KeychainStatus keychainDelete(const Dictionary& query) {
    const auto cfQuery = toCF(query);
    return cfQuery ? SecItemDelete(cfQuery.get()) : keychain::badParameter;
}

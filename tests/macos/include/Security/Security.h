// Test stand-in, never shipped: the Security framework declarations that the macOS keychain
// backend uses, each declared as the macOS 14.2 SDK declares it (SecBase.h, SecItem.h,
// SecKeychain.h, SecKeychainItem.h), availability included. Implemented by fake_security.cpp.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <os/availability.h>

extern "C" {

// SecBase.h: the status codes are values of one global, unscoped enum.
enum : OSStatus {
    errSecSuccess = 0,
    errSecParam = -50,
    errSecNotAvailable = -25291,
    errSecAuthFailed = -25293,
    errSecDuplicateItem = -25299,
    errSecItemNotFound = -25300,
    errSecNoDefaultKeychain = -25307,
    errSecInteractionNotAllowed = -25308,
    errSecInteractionRequired = -25315,
};

typedef struct __SecKeychain* SecKeychainRef API_AVAILABLE(macos(10.0))
    API_UNAVAILABLE(ios, tvos, watchos);
typedef struct __SecKeychainItem* SecKeychainItemRef API_UNAVAILABLE(ios, watchos, tvos,
                                                                     macCatalyst);
typedef UInt32 SecKeychainStatus API_UNAVAILABLE(ios, watchos, tvos, macCatalyst);

// SecItem.h
extern const CFStringRef kSecClass API_AVAILABLE(macos(10.6), ios(2.0));
extern const CFStringRef kSecClassGenericPassword API_AVAILABLE(macos(10.7), ios(2.0));
extern const CFStringRef kSecAttrLabel API_AVAILABLE(macos(10.6), ios(2.0));
extern const CFStringRef kSecAttrAccount API_AVAILABLE(macos(10.6), ios(2.0));
extern const CFStringRef kSecAttrService API_AVAILABLE(macos(10.6), ios(2.0));
extern const CFStringRef kSecMatchLimit API_AVAILABLE(macos(10.6), ios(2.0));
extern const CFStringRef kSecMatchLimitOne API_AVAILABLE(macos(10.6), ios(2.0));
extern const CFStringRef kSecReturnData API_AVAILABLE(macos(10.6), ios(2.0));
extern const CFStringRef kSecReturnRef API_AVAILABLE(macos(10.6), ios(2.0));
extern const CFStringRef kSecValueData API_AVAILABLE(macos(10.6), ios(2.0));
extern const CFStringRef kSecUseAuthenticationUI API_AVAILABLE(macos(10.11), ios(9.0));
extern const CFStringRef kSecUseAuthenticationUIFail
    API_DEPRECATED("Instead of kSecUseAuthenticationUI, use kSecUseAuthenticationContext and set "
                   "LAContext.interactionNotAllowed property",
                   macos(10.11, 11.0), ios(9.0, 14.0));

OSStatus SecItemCopyMatching(CFDictionaryRef query, CFTypeRef* result)
    API_AVAILABLE(macos(10.6), ios(2.0));
OSStatus SecItemAdd(CFDictionaryRef attributes, CFTypeRef* result)
    API_AVAILABLE(macos(10.6), ios(2.0));
OSStatus SecItemUpdate(CFDictionaryRef query, CFDictionaryRef attributesToUpdate)
    API_AVAILABLE(macos(10.6), ios(2.0));
OSStatus SecItemDelete(CFDictionaryRef query) API_AVAILABLE(macos(10.6), ios(2.0));

// SecKeychain.h
enum : UInt32 {
    kSecUnlockStateStatus = 1,
    kSecReadPermStatus = 2,
    kSecWritePermStatus = 4,
};
OSStatus SecKeychainGetStatus(SecKeychainRef keychain, SecKeychainStatus* keychainStatus)
    API_DEPRECATED("SecKeychain is deprecated", macos(10.2, 10.10))
        API_UNAVAILABLE(ios, watchos, tvos, macCatalyst);
OSStatus SecKeychainSetUserInteractionAllowed(Boolean state)
    API_DEPRECATED("SecKeychain is deprecated", macos(10.2, 10.10))
        API_UNAVAILABLE(ios, watchos, tvos, macCatalyst);

// SecKeychainItem.h
CFTypeID SecKeychainItemGetTypeID(void)
    API_DEPRECATED("SecKeychain is deprecated", macos(10.2, 10.10))
        API_UNAVAILABLE(ios, watchos, tvos, macCatalyst);
OSStatus SecKeychainItemCopyKeychain(SecKeychainItemRef itemRef, SecKeychainRef* keychainRef)
    API_DEPRECATED("SecKeychain is deprecated", macos(10.2, 10.10))
        API_UNAVAILABLE(ios, watchos, tvos, macCatalyst);
}

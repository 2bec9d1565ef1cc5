// Test stand-in, never shipped: the Security framework declarations that the macOS keychain
// backend uses, from Apple's public API reference. Implemented by fake_security.cpp.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

extern "C" {

extern const CFStringRef kSecClass;
extern const CFStringRef kSecClassGenericPassword;
extern const CFStringRef kSecAttrService;
extern const CFStringRef kSecAttrAccount;
extern const CFStringRef kSecAttrLabel;
extern const CFStringRef kSecValueData;
extern const CFStringRef kSecReturnData;
extern const CFStringRef kSecMatchLimit;
extern const CFStringRef kSecMatchLimitOne;
// Deprecated in macOS 11, as on the platform.
[[deprecated]] extern const CFStringRef kSecUseAuthenticationUI;
[[deprecated]] extern const CFStringRef kSecUseAuthenticationUIFail;

OSStatus SecItemCopyMatching(CFDictionaryRef query, CFTypeRef* result);
OSStatus SecItemAdd(CFDictionaryRef attributes, CFTypeRef* result);
OSStatus SecItemUpdate(CFDictionaryRef query, CFDictionaryRef attributesToUpdate);
OSStatus SecItemDelete(CFDictionaryRef query);
// Deprecated in macOS 10.10, as on the platform.
[[deprecated]] OSStatus SecKeychainSetUserInteractionAllowed(Boolean state);
}

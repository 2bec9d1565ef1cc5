#include "fake_security.h"

#include <Security/Security.h>
#include <cstdlib>
#include <deque>
#include <utf8proc.h>

// Every stand-in object starts with this header; constants are immortal.
struct FakeObject {
    CFTypeID type;
    long references;
    bool immortal;
};

struct __CFString {
    FakeObject header;
    std::string text;
};
struct __CFData {
    FakeObject header;
    std::string bytes;
};
struct __CFBoolean {
    FakeObject header;
    bool value;
};
struct __CFDictionary {
    FakeObject header;
    std::vector<std::pair<CFTypeRef, CFTypeRef>> entries;
};
struct __SecKeychain {
    FakeObject header;
};
struct __SecKeychainItem {
    FakeObject header;
};

namespace {

enum : CFTypeID {
    stringType = 7,
    dataType = 20,
    booleanType = 21,
    dictionaryType = 18,
    keychainType = 100,
    itemType = 101,
};

long live = 0;
bool allowed = true;
// The keychain that holds the item: where finding its state fails, and its states in turn.
fakeSecurity::Fails itemKeychainFails = fakeSecurity::Fails::nowhere;
std::deque<SecKeychainStatus> keychainStates;
std::vector<fakeSecurity::Seen> seen;

struct Answer {
    OSStatus status;
    fakeSecurity::Slot slot;
    std::string bytes;
};
std::deque<Answer> answers;

FakeObject* headerOf(CFTypeRef object) {
    return static_cast<FakeObject*>(const_cast<void*>(object));
}

__CFString* constantString(const char* name) {
    return new __CFString{{stringType, 1, true}, name}; // immortal, like the platform's
}

std::string describe(CFTypeRef value) {
    switch (headerOf(value)->type) {
    case stringType:
        return static_cast<const __CFString*>(value)->text;
    case dataType:
        return "data:" + static_cast<const __CFData*>(value)->bytes;
    case booleanType:
        return static_cast<const __CFBoolean*>(value)->value ? "true" : "false";
    default:
        return "?";
    }
}

fakeSecurity::Entries entriesOf(CFDictionaryRef dictionary) {
    fakeSecurity::Entries entries;
    if (dictionary != nullptr) {
        for (const auto& [key, value] : dictionary->entries) {
            entries.emplace_back(describe(key), describe(value));
        }
    }
    return entries;
}

Answer nextAnswer() {
    if (answers.empty()) {
        return {0, fakeSecurity::Slot::empty, ""};
    }
    Answer answer = answers.front();
    answers.pop_front();
    return answer;
}

} // namespace

extern "C" {

const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks{};
const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks{};
const CFAllocatorRef kCFAllocatorDefault = nullptr;
const CFBooleanRef kCFBooleanTrue = new __CFBoolean{{booleanType, 1, true}, true};
const CFBooleanRef kCFBooleanFalse = new __CFBoolean{{booleanType, 1, true}, false};

const CFStringRef kSecClass = constantString("kSecClass");
const CFStringRef kSecClassGenericPassword = constantString("kSecClassGenericPassword");
const CFStringRef kSecAttrService = constantString("kSecAttrService");
const CFStringRef kSecAttrAccount = constantString("kSecAttrAccount");
const CFStringRef kSecAttrLabel = constantString("kSecAttrLabel");
const CFStringRef kSecValueData = constantString("kSecValueData");
const CFStringRef kSecReturnData = constantString("kSecReturnData");
const CFStringRef kSecReturnRef = constantString("kSecReturnRef");
const CFStringRef kSecMatchLimit = constantString("kSecMatchLimit");
const CFStringRef kSecMatchLimitOne = constantString("kSecMatchLimitOne");
const CFStringRef kSecUseAuthenticationUI = constantString("kSecUseAuthenticationUI");
const CFStringRef kSecUseAuthenticationUIFail = constantString("kSecUseAuthenticationUIFail");

CFTypeID CFGetTypeID(CFTypeRef object) {
    return headerOf(object)->type;
}

CFTypeRef CFRetain(CFTypeRef object) {
    ++headerOf(object)->references;
    return object;
}

void CFRelease(CFTypeRef object) {
    FakeObject* header = headerOf(object);
    if (header->references <= 0) {
        std::abort(); // released more often than owned
    }
    if (header->immortal || --header->references > 0) {
        return;
    }
    --live;
    switch (header->type) {
    case stringType:
        delete static_cast<__CFString*>(const_cast<void*>(object));
        break;
    case dataType:
        delete static_cast<__CFData*>(const_cast<void*>(object));
        break;
    case keychainType:
        delete static_cast<__SecKeychain*>(const_cast<void*>(object));
        break;
    case itemType:
        delete static_cast<__SecKeychainItem*>(const_cast<void*>(object));
        break;
    case dictionaryType: {
        auto* dictionary = static_cast<__CFDictionary*>(const_cast<void*>(object));
        for (const auto& [key, value] : dictionary->entries) {
            CFRelease(key);
            CFRelease(value);
        }
        delete dictionary;
        break;
    }
    default:
        std::abort();
    }
}

CFTypeID CFDataGetTypeID(void) {
    return dataType;
}

CFDataRef CFDataCreate(CFAllocatorRef /*allocator*/, const UInt8* bytes, CFIndex length) {
    ++live;
    return new __CFData{
        {dataType, 1, false},
        std::string(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(length))};
}

Boolean CFEqual(CFTypeRef left, CFTypeRef right) {
    if (CFGetTypeID(left) != stringType || CFGetTypeID(right) != stringType) {
        std::abort(); // only strings are compared by the sources under test
    }
    return static_cast<const __CFString*>(left)->text == static_cast<const __CFString*>(right)->text
               ? 1
               : 0;
}

CFIndex CFDataGetLength(CFDataRef data) {
    return static_cast<CFIndex>(data->bytes.size());
}

const UInt8* CFDataGetBytePtr(CFDataRef data) {
    return reinterpret_cast<const UInt8*>(data->bytes.data());
}

CFStringRef CFStringCreateWithBytes(CFAllocatorRef /*allocator*/, const UInt8* bytes,
                                    CFIndex length, CFStringEncoding /*encoding*/,
                                    Boolean /*external*/) {
    // As the platform does, text that is not valid UTF-8 makes no string.
    for (CFIndex at = 0; at < length;) {
        utf8proc_int32_t codePoint = 0;
        const utf8proc_ssize_t size = utf8proc_iterate(bytes + at, length - at, &codePoint);
        if (size <= 0) {
            return nullptr;
        }
        at += size;
    }
    ++live;
    return new __CFString{
        {stringType, 1, false},
        std::string(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(length))};
}

CFMutableStringRef CFStringCreateMutableCopy(CFAllocatorRef /*allocator*/, CFIndex /*maxLength*/,
                                             CFStringRef string) {
    ++live;
    return new __CFString{{stringType, 1, false}, string->text};
}

void CFStringNormalize(CFMutableStringRef string, CFStringNormalizationForm form) {
    if (form != kCFStringNormalizationFormC) {
        std::abort();
    }
    utf8proc_uint8_t* composed =
        utf8proc_NFC(reinterpret_cast<const utf8proc_uint8_t*>(string->text.c_str()));
    string->text = reinterpret_cast<const char*>(composed);
    std::free(composed);
}

CFMutableDictionaryRef CFDictionaryCreateMutable(CFAllocatorRef /*allocator*/, CFIndex /*capacity*/,
                                                 const CFDictionaryKeyCallBacks* /*keys*/,
                                                 const CFDictionaryValueCallBacks* /*values*/) {
    ++live;
    return new __CFDictionary{{dictionaryType, 1, false}, {}};
}

void CFDictionarySetValue(CFMutableDictionaryRef dictionary, const void* key, const void* value) {
    // The CFType callbacks retain what the dictionary holds.
    dictionary->entries.emplace_back(CFRetain(key), CFRetain(value));
}

OSStatus SecKeychainSetUserInteractionAllowed(Boolean state) {
    allowed = state != 0;
    seen.push_back({"SecKeychainSetUserInteractionAllowed", {}, {}, false});
    return 0;
}

OSStatus SecKeychainGetStatus(SecKeychainRef keychain, SecKeychainStatus* status) {
    if (keychain == nullptr) {
        // The default keychain: another one, always unlocked.
        *status = kSecUnlockStateStatus | kSecReadPermStatus;
        return errSecSuccess;
    }
    *status = keychainStates.front();
    if (keychainStates.size() > 1) {
        keychainStates.pop_front();
    }
    return itemKeychainFails == fakeSecurity::Fails::statusRead ? errSecNoDefaultKeychain
                                                                : errSecSuccess;
}

CFTypeID SecKeychainItemGetTypeID(void) {
    return itemType;
}

OSStatus SecKeychainItemCopyKeychain(SecKeychainItemRef itemRef, SecKeychainRef* keychainRef) {
    if (CFGetTypeID(itemRef) != itemType) {
        std::abort();
    }
    if (itemKeychainFails == fakeSecurity::Fails::itemKeychain) {
        return errSecNoDefaultKeychain;
    }
    ++live;
    *keychainRef = new __SecKeychain{{keychainType, 1, false}};
    return errSecSuccess;
}

OSStatus SecItemCopyMatching(CFDictionaryRef query, CFTypeRef* result) {
    seen.push_back({"SecItemCopyMatching", entriesOf(query), {}, result != nullptr});
    for (const auto& [key, value] : query->entries) {
        if (key == kSecReturnRef && value == kCFBooleanTrue) {
            // A reference lookup finds the item without decrypting it.
            if (itemKeychainFails == fakeSecurity::Fails::referenceLookup) {
                return errSecItemNotFound;
            }
            ++live;
            *result = new __SecKeychainItem{{itemType, 1, false}};
            return errSecSuccess;
        }
    }
    const Answer answer = nextAnswer();
    if (result != nullptr && answer.slot != fakeSecurity::Slot::empty) {
        const auto* bytes = reinterpret_cast<const UInt8*>(answer.bytes.data());
        const auto length = static_cast<CFIndex>(answer.bytes.size());
        *result =
            answer.slot == fakeSecurity::Slot::data
                ? static_cast<CFTypeRef>(CFDataCreate(nullptr, bytes, length))
                : static_cast<CFTypeRef>(CFStringCreateWithBytes(nullptr, bytes, length, 0, 0));
    }
    return answer.status;
}

OSStatus SecItemAdd(CFDictionaryRef attributes, CFTypeRef* result) {
    seen.push_back({"SecItemAdd", entriesOf(attributes), {}, result != nullptr});
    return nextAnswer().status;
}

OSStatus SecItemUpdate(CFDictionaryRef query, CFDictionaryRef attributesToUpdate) {
    seen.push_back({"SecItemUpdate", entriesOf(query), entriesOf(attributesToUpdate), false});
    return nextAnswer().status;
}

OSStatus SecItemDelete(CFDictionaryRef query) {
    seen.push_back({"SecItemDelete", entriesOf(query), {}, false});
    return nextAnswer().status;
}

} // extern "C"

namespace fakeSecurity {

void reset() {
    seen.clear();
    answers.clear();
    allowed = true;
    setItemKeychain({kSecUnlockStateStatus | kSecReadPermStatus});
}

void setItemKeychain(std::vector<SecKeychainStatus> states, Fails fails) {
    itemKeychainFails = fails;
    keychainStates.assign(states.begin(), states.end());
}

const std::vector<Seen>& calls() {
    return seen;
}

void answerNext(OSStatus status, Slot slot, const std::string& bytes) {
    answers.push_back({status, slot, bytes});
}

bool interactionAllowed() {
    return allowed;
}

long liveObjects() {
    return live;
}

} // namespace fakeSecurity

// The platform keychain: five calls over generic-password items, described by
// portable attribute dictionaries. One backend per platform is linked in.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

using KeychainStatus = std::int32_t;

// The statuses the tool tells apart. The values are the Security framework's codes, so the
// macOS backend passes its answers up unchanged (it checks each value against the SDK at
// compile time); every other backend answers with the same codes.
namespace keychain {
inline constexpr KeychainStatus success = 0;
inline constexpr KeychainStatus badParameter = -50;
inline constexpr KeychainStatus notAvailable = -25291;
inline constexpr KeychainStatus authFailed = -25293;
inline constexpr KeychainStatus duplicateItem = -25299;
inline constexpr KeychainStatus itemNotFound = -25300;
inline constexpr KeychainStatus noDefaultKeychain = -25307;
inline constexpr KeychainStatus interactionNotAllowed = -25308;
// A passing state: the keychain is locked, or refuses for now. Unlike -25308 and -25293 from an
// unlocked keychain, it never means an item is lost for good, so nothing is deleted for it.
inline constexpr KeychainStatus interactionRequired = -25315;
} // namespace keychain

// The attribute names the tool uses; each backend maps them to its own.
enum class AttrKey {
    itemClass,
    service,
    account,
    label,
    valueData,
    useAuthenticationUI,
    returnData,
    matchLimit,
};

// The platform constants the tool passes as values.
enum class AttrConstant {
    classGenericPassword,
    authenticationUIFail,
    matchLimitOne,
};

// Item data: bytes, kept apart from text attributes so a backend cannot mix them up.
struct ItemBytes {
    std::string bytes;
    bool operator==(const ItemBytes&) const = default;
};

using AttrValue = std::variant<std::string, ItemBytes, bool, AttrConstant>;

// Insertion-ordered, so the same dictionary reaches every backend in the same shape.
using Dictionary = std::vector<std::pair<AttrKey, AttrValue>>;

// Turns off every keychain user interface for this process.
KeychainStatus keychainSetUserInteractionAllowed(bool allowed);

// Fills `data` only when the answer holds the item's bytes.
KeychainStatus keychainCopyMatching(const Dictionary& query, std::optional<std::string>& data);

KeychainStatus keychainAdd(const Dictionary& attributes);

KeychainStatus keychainUpdate(const Dictionary& query, const Dictionary& attributesToUpdate);

KeychainStatus keychainDelete(const Dictionary& query);

// Helpers for backends: the first value of a key, when it has the wanted type.
template <typename T> const T* findAttr(const Dictionary& dictionary, AttrKey key) {
    for (const auto& [entryKey, value] : dictionary) {
        if (entryKey == key) {
            return std::get_if<T>(&value);
        }
    }
    return nullptr;
}

// The service and account a dictionary names, when it names a generic-password item.
struct ItemAddress {
    std::string service;
    std::string account;
};

inline bool addressOf(const Dictionary& dictionary, ItemAddress& address) {
    const auto* itemClass = findAttr<AttrConstant>(dictionary, AttrKey::itemClass);
    const auto* service = findAttr<std::string>(dictionary, AttrKey::service);
    const auto* account = findAttr<std::string>(dictionary, AttrKey::account);
    if (itemClass == nullptr || *itemClass != AttrConstant::classGenericPassword ||
        service == nullptr || account == nullptr) {
        return false;
    }
    address = {*service, *account};
    return true;
}

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

inline constexpr KeychainStatus errSecSuccess = 0;
inline constexpr KeychainStatus errSecParam = -50;
inline constexpr KeychainStatus errSecAuthFailed = -25293;
inline constexpr KeychainStatus errSecNotAvailable = -25291;
inline constexpr KeychainStatus errSecDuplicateItem = -25299;
inline constexpr KeychainStatus errSecItemNotFound = -25300;
inline constexpr KeychainStatus errSecNoDefaultKeychain = -25307;
inline constexpr KeychainStatus errSecInteractionNotAllowed = -25308;

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

// The five keychain calls in the shape the backend tests use them.
#pragma once

#include "platform/keychain.h"
#include "store/items.h"

#include <optional>
#include <string>

inline Dictionary creation(const std::string& service, const std::string& account,
                           const std::string& bytes, const std::string& label) {
    Dictionary attributes = itemAttributes(service, account);
    attributes.emplace_back(AttrKey::valueData, ItemBytes{bytes});
    attributes.emplace_back(AttrKey::label, label);
    return attributes;
}

struct Read {
    KeychainStatus status;
    std::optional<std::string> data;
};

inline Read copy(const std::string& service, const std::string& account) {
    Read read{0, std::nullopt};
    read.status = keychainCopyMatching(readQuery(service, account), read.data);
    return read;
}

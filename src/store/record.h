// The stored session record: reading an item's bytes and decoding them.
#pragma once

#include "platform/json.h"
#include "platform/keychain.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The one size limit: of a request, of stored data accepted, and of a new record.
inline constexpr std::int64_t maximumRequestBytes = 32768;

struct ItemRead {
    KeychainStatus status;
    std::optional<std::string> data;
};

// The keychain's status, untouched, with the item's bytes when it gave them.
ItemRead readData(std::string_view service, std::string_view host);

// The whole stored object when the bytes hold a session record: a JSON object with a
// string "revision" and a "session" of any value. None for every fault, silently.
std::optional<Json> decodeRecord(const std::optional<std::string>& bytes);

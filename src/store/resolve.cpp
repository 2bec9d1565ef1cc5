#include "store/resolve.h"

#include "app/envelope.h"
#include "store/items.h"
#include "store/record.h"

std::optional<Json> resolveCurrentRecord(std::string_view host) {
    const ItemRead current = readData(serviceV2, host);
    switch (current.status) {
    case errSecSuccess: {
        auto record = decodeRecord(current.data);
        if (!record) {
            fail(Message::unreadable); // the item stays for the user to recover
        }
        return record;
    }
    case errSecItemNotFound:
        return migrateLegacyRecord(host);
    case errSecInteractionNotAllowed:
    case errSecAuthFailed:
        // An item this process may never read again: start over without it.
        deleteItem(serviceV2, host);
        return std::nullopt;
    default:
        fail(Message::keychainUnavailable);
    }
}

std::optional<Json> migrateLegacyRecord(std::string_view host) {
    const ItemRead legacy = readData(serviceV1, host);
    if (legacy.status != errSecSuccess || !legacy.data) {
        deleteItem(serviceV1, host);
        return std::nullopt;
    }
    auto record = decodeRecord(legacy.data);
    if (!record) {
        deleteItem(serviceV1, host);
        return std::nullopt;
    }
    if (keychainAdd(creationAttributes(host, *legacy.data)) != errSecSuccess) {
        return std::nullopt; // the legacy item stays for the next run
    }
    const ItemRead copy = readData(serviceV2, host);
    if (copy.status != errSecSuccess || copy.data != legacy.data) {
        deleteItem(serviceV2, host);
        return std::nullopt;
    }
    deleteItem(serviceV1, host);
    return record;
}

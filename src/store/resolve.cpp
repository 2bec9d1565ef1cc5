#include "store/resolve.h"

#include "app/envelope.h"
#include "store/items.h"
#include "store/record.h"

namespace {

// Statuses that say something lasting about the item. Any other is a passing state (a locked
// keychain, a service that refuses or does not answer for now): nothing is deleted for it.
bool isLasting(KeychainStatus status) {
    return status == keychain::success || status == keychain::itemNotFound ||
           status == keychain::interactionNotAllowed || status == keychain::authFailed;
}

} // namespace

std::optional<Json> resolveCurrentRecord(std::string_view host) {
    const ItemRead current = readData(serviceV2, host);
    switch (current.status) {
    case keychain::success: {
        auto record = decodeRecord(current.data);
        if (!record) {
            fail(Message::unreadable); // the item stays for the user to recover
        }
        return record;
    }
    case keychain::itemNotFound:
        return migrateLegacyRecord(host);
    case keychain::interactionNotAllowed:
    case keychain::authFailed:
        // An item this program may never read again (the backend reports a merely locked
        // keychain as a passing state): start over without it.
        deleteItem(serviceV2, host);
        return std::nullopt;
    default:
        fail(Message::keychainUnavailable);
    }
}

std::optional<Json> migrateLegacyRecord(std::string_view host) {
    const ItemRead legacy = readData(serviceV1, host);
    if (!isLasting(legacy.status)) {
        // Kept for a run that can read it; until then the user is not signed out.
        fail(Message::keychainUnavailable);
    }
    if (legacy.status == keychain::success && !legacy.data) {
        // There, but not an item this release can parse (a newer format, a stray file): kept
        // for the release that wrote it, as the current service's item would be.
        fail(Message::unreadable);
    }
    if (legacy.status != keychain::success) {
        deleteItem(serviceV1, host);
        return std::nullopt;
    }
    auto record = decodeRecord(legacy.data);
    if (!record) {
        deleteItem(serviceV1, host);
        return std::nullopt;
    }
    if (keychainAdd(creationAttributes(host, *legacy.data)) != keychain::success) {
        return std::nullopt; // the legacy item stays for the next run
    }
    const ItemRead copy = readData(serviceV2, host);
    if (copy.status != keychain::success || copy.data != legacy.data) {
        deleteItem(serviceV2, host);
        return std::nullopt;
    }
    deleteItem(serviceV1, host);
    return record;
}

#include "app/session.h"

#include "app/envelope.h"
#include "lock/session_lock.h"
#include "platform/keychain.h"
#include "platform/unicode.h"
#include "platform/uuid.h"
#include "store/items.h"
#include "store/record.h"
#include "store/resolve.h"

#include <cstdint>
#include <optional>
#include <string>

namespace {

[[noreturn]] void respondWithRecord(const Json& record) {
    respond(Json{{"ok", true}, {"record", record}});
}

// Whether a write naming `expected` (none when not a string) may replace `current`.
bool revisionMatches(const Json& expected, const std::optional<Json>& current) {
    if (!current) {
        return !expected.is_string();
    }
    if (!expected.is_string()) {
        return false;
    }
    return canonicallyEqual(expected.get_ref<const std::string&>(),
                            current->at("revision").get_ref<const std::string&>());
}

[[noreturn]] void writeRecord(std::string_view host, const Json& request,
                              const std::optional<Json>& current) {
    const auto expected = request.find("expectedRevision");
    const auto session = request.find("session");
    if (expected == request.end() || session == request.end()) {
        fail(Message::changedElsewhere);
    }
    if (!revisionMatches(*expected, current)) {
        fail(Message::changedElsewhere);
    }
    if (!session->is_object() && !session->is_null()) {
        fail(Message::invalidRequest);
    }

    const Json newRecord{{"revision", newRandomUuid()}, {"session", *session}};
    const std::string encoded = encodeJson(newRecord); // a failure is raised to the caller
    if (static_cast<std::int64_t>(encoded.size()) > maximumRequestBytes) {
        fail(Message::tooLarge);
    }

    // Update or add depends only on whether a record was resolved, never on a status.
    KeychainStatus saved = keychain::success;
    if (current) {
        saved = keychainUpdate(lookupQuery(serviceV2, host), updateAttributes(encoded));
    } else {
        deleteItem(serviceV2, host);
        saved = keychainAdd(creationAttributes(host, encoded));
    }
    if (saved != keychain::success) {
        fail(Message::saveFailed);
    }

    const ItemRead readBack = readData(serviceV2, host);
    if (readBack.status != keychain::success || readBack.data != encoded) {
        fail(Message::notVerified);
    }
    respondWithRecord(newRecord);
}

} // namespace

void runLockedSection(std::string_view host, std::string_view op, const Json& request) {
    releaseBeforeAnswer(acquireSessionLock(host));
    const std::optional<Json> current = resolveCurrentRecord(host);
    if (op == "read") {
        respondWithRecord(current ? *current : Json(nullptr));
    }
    writeRecord(host, request, current); // a raised failure is answered, and released, by respond
}

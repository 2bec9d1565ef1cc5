#include "store/record.h"

#include "store/items.h"

ItemRead readData(std::string_view service, std::string_view host) {
    ItemRead result{keychain::success, std::nullopt};
    result.status = keychainCopyMatching(readQuery(service, host), result.data);
    return result;
}

std::optional<Json> decodeRecord(const std::optional<std::string>& bytes) {
    // The length is tested first, so oversized data is never parsed.
    if (!bytes || static_cast<std::int64_t>(bytes->size()) > maximumRequestBytes) {
        return std::nullopt;
    }
    Json record;
    try {
        record = parseJson(*bytes);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    if (!record.is_object()) {
        return std::nullopt;
    }
    const auto revision = record.find("revision");
    if (revision == record.end() || !revision->is_string() || !record.contains("session")) {
        return std::nullopt;
    }
    return record;
}

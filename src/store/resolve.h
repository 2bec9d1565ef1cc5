// Which session record is current for a host, migrating one from the legacy service.
#pragma once

#include "platform/json.h"

#include <optional>
#include <string_view>

// The current record, or none. Ends the process when the current item is unreadable, or the
// keychain is unavailable for either item. Runs only while the host's lock is held.
std::optional<Json> resolveCurrentRecord(std::string_view host);

// Copies a decodable legacy record to the current service and, once the copy reads back
// byte for byte, removes the legacy item. A legacy item out of reach for now ends the process
// with "unavailable", and one that is there without data with "unreadable"; both stay. Every
// other failure ends in none, silently.
std::optional<Json> migrateLegacyRecord(std::string_view host);

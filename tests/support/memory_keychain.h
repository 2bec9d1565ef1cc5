// Test stand-in for the platform keychain: items in memory, keyed by class, service and
// account, with every call recorded and faults on demand.
#pragma once

#include "platform/keychain.h"

#include <optional>
#include <string>
#include <vector>

namespace memoryKeychain {

enum class Call { setInteraction, copyMatching, add, update, remove };

struct RecordedCall {
    Call call;
    Dictionary first;  // the query, or the creation attributes
    Dictionary second; // the attributes to update
};

void reset();
const std::vector<RecordedCall>& calls();
// Adds, updates and deletes made while the item's host lock was not held, in this process.
std::size_t changesOutsideLock();
std::size_t count(Call call);

void put(const std::string& service, const std::string& account, const std::string& data,
         const std::string& label = "seeded");
std::optional<std::string> data(const std::string& service, const std::string& account);
std::optional<std::string> label(const std::string& service, const std::string& account);

// The next call of this kind answers `status` and changes nothing; a copy then gives `data`.
// Scripts are used in order, per kind of call: the next call of this kind answers `status`
// and changes nothing (a copy then hands back `data`); passNext lets one call through.
void answerNext(Call call, KeychainStatus status, std::optional<std::string> data = std::nullopt);
void passNext(Call call);

} // namespace memoryKeychain

#include "memory_keychain.h"

#include "lock_probe.h"

#include <deque>
#include <map>
#include <utility>

namespace memoryKeychain {
namespace {

struct Item {
    std::string label;
    std::string data;
};

struct Answer {
    Call call;
    std::optional<KeychainStatus> status; // none: behave as usual
    std::optional<std::string> data;
};

struct State {
    std::map<std::pair<std::string, std::string>, Item> items;
    std::vector<RecordedCall> calls;
    std::deque<Answer> answers;
};

std::size_t outsideLock = 0; // never reset: one change outside the lock fails the rest

State& state() {
    static State instance;
    return instance;
}

std::optional<Answer> scripted(Call call) {
    auto& answers = state().answers;
    for (auto it = answers.begin(); it != answers.end(); ++it) {
        if (it->call == call) {
            Answer answer = *it;
            answers.erase(it);
            return answer.status ? std::optional(answer) : std::nullopt;
        }
    }
    return std::nullopt;
}

std::optional<std::pair<std::string, std::string>> keyOf(const Dictionary& dictionary) {
    ItemAddress address;
    if (!addressOf(dictionary, address)) {
        return std::nullopt;
    }
    return std::make_pair(address.service, address.account);
}

// Records a change (an add, update or delete) and checks that its host's lock is held.
void recordChange(Call call, const Dictionary& first, const Dictionary& second = {}) {
    state().calls.push_back({call, first, second});
    const auto key = keyOf(first);
    if (key && !sessionLockHeld(key->second)) {
        ++outsideLock;
    }
}

} // namespace

void reset() {
    state() = State{};
}

const std::vector<RecordedCall>& calls() {
    return state().calls;
}

std::size_t changesOutsideLock() {
    return outsideLock;
}

std::size_t count(Call call) {
    std::size_t total = 0;
    for (const auto& recorded : state().calls) {
        total += recorded.call == call ? 1 : 0;
    }
    return total;
}

void put(const std::string& service, const std::string& account, const std::string& data,
         const std::string& label) {
    state().items[{service, account}] = Item{label, data};
}

std::optional<std::string> data(const std::string& service, const std::string& account) {
    const auto found = state().items.find({service, account});
    return found == state().items.end() ? std::nullopt : std::optional(found->second.data);
}

std::optional<std::string> label(const std::string& service, const std::string& account) {
    const auto found = state().items.find({service, account});
    return found == state().items.end() ? std::nullopt : std::optional(found->second.label);
}

void answerNext(Call call, KeychainStatus status, std::optional<std::string> data) {
    state().answers.push_back({call, status, std::move(data)});
}

void passNext(Call call) {
    state().answers.push_back({call, std::nullopt, std::nullopt});
}

} // namespace memoryKeychain

using memoryKeychain::Call;

KeychainStatus keychainSetUserInteractionAllowed(bool /*allowed*/) {
    memoryKeychain::state().calls.push_back({Call::setInteraction, {}, {}});
    const auto answer = memoryKeychain::scripted(Call::setInteraction);
    return answer ? *answer->status : keychain::success;
}

KeychainStatus keychainCopyMatching(const Dictionary& query, std::optional<std::string>& data) {
    auto& state = memoryKeychain::state();
    state.calls.push_back({Call::copyMatching, query, {}});
    if (auto answer = memoryKeychain::scripted(Call::copyMatching)) {
        data = answer->data;
        return *answer->status;
    }
    const auto key = memoryKeychain::keyOf(query);
    if (!key) {
        return keychain::badParameter;
    }
    const auto found = state.items.find(*key);
    if (found == state.items.end()) {
        return keychain::itemNotFound;
    }
    data = found->second.data;
    return keychain::success;
}

KeychainStatus keychainAdd(const Dictionary& attributes) {
    auto& state = memoryKeychain::state();
    memoryKeychain::recordChange(Call::add, attributes);
    if (auto answer = memoryKeychain::scripted(Call::add)) {
        return *answer->status;
    }
    const auto key = memoryKeychain::keyOf(attributes);
    const auto* label = findAttr<std::string>(attributes, AttrKey::label);
    const auto* bytes = findAttr<ItemBytes>(attributes, AttrKey::valueData);
    if (!key || label == nullptr || bytes == nullptr) {
        return keychain::badParameter;
    }
    if (state.items.contains(*key)) {
        return keychain::duplicateItem;
    }
    state.items[*key] = {*label, bytes->bytes};
    return keychain::success;
}

KeychainStatus keychainUpdate(const Dictionary& query, const Dictionary& attributesToUpdate) {
    auto& state = memoryKeychain::state();
    memoryKeychain::recordChange(Call::update, query, attributesToUpdate);
    if (auto answer = memoryKeychain::scripted(Call::update)) {
        return *answer->status;
    }
    const auto key = memoryKeychain::keyOf(query);
    const auto* bytes = findAttr<ItemBytes>(attributesToUpdate, AttrKey::valueData);
    if (!key || bytes == nullptr) {
        return keychain::badParameter;
    }
    const auto found = state.items.find(*key);
    if (found == state.items.end()) {
        return keychain::itemNotFound;
    }
    found->second.data = bytes->bytes;
    return keychain::success;
}

KeychainStatus keychainDelete(const Dictionary& query) {
    auto& state = memoryKeychain::state();
    memoryKeychain::recordChange(Call::remove, query);
    if (auto answer = memoryKeychain::scripted(Call::remove)) {
        return *answer->status;
    }
    const auto key = memoryKeychain::keyOf(query);
    if (!key) {
        return keychain::badParameter;
    }
    return state.items.erase(*key) > 0 ? keychain::success : keychain::itemNotFound;
}

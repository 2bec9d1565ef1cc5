// Control of the CoreFoundation and Security stand-in: what each call was handed, scripted
// answers, and a count of the objects still alive.
#pragma once

#include <Security/Security.h>
#include <string>
#include <utility>
#include <vector>

namespace fakeSecurity {

// A dictionary as key name and a readable value: text, "data:<bytes>", "true"/"false", or
// the name of a framework constant.
using Entries = std::vector<std::pair<std::string, std::string>>;

struct Seen {
    std::string call;
    Entries first;
    Entries second;
    bool resultSlot = false;
};

enum class Slot { empty, data, string };

void reset();
const std::vector<Seen>& calls();
// The next item call answers `status`; a copy fills its slot as told.
void answerNext(OSStatus status, Slot slot = Slot::empty, const std::string& bytes = "");
bool interactionAllowed();
// Where finding the state of the keychain that holds the item fails, if anywhere: the
// reference lookup, SecKeychainItemCopyKeychain, or SecKeychainGetStatus.
enum class Fails { nowhere, referenceLookup, itemKeychain, statusRead };
// What SecKeychainGetStatus answers for the keychain that holds the item: the states in turn,
// the last one from then on (unlocked after reset). The default keychain is another one,
// always unlocked.
void setItemKeychain(std::vector<SecKeychainStatus> states, Fails fails = Fails::nowhere);
long liveObjects();

} // namespace fakeSecurity

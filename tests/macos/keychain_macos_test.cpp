// The macOS sources, compiled against the CoreFoundation and Security stand-in: what the backend
// hands each call, what it passes up, the CoreFoundation Unicode compare, and that every object
// created is released exactly once.
#include "fake_security.h"
#include "platform/keychain.h"
#include "platform/unicode.h"
#include "store/items.h"

#include <gtest/gtest.h>

namespace {

using fakeSecurity::Entries;
using fakeSecurity::Slot;

class MacKeychain : public ::testing::Test {
  protected:
    void SetUp() override {
        fakeSecurity::reset();
        liveBefore = fakeSecurity::liveObjects();
    }
    void TearDown() override { EXPECT_EQ(fakeSecurity::liveObjects(), liveBefore) << "leaked"; }
    long liveBefore = 0;
};

const Entries lookupEntries{{"kSecClass", "kSecClassGenericPassword"},
                            {"kSecAttrService", "com.pellimar.adobe.session.v2"},
                            {"kSecAttrAccount", "AEFT"},
                            {"kSecUseAuthenticationUI", "kSecUseAuthenticationUIFail"}};

TEST_F(MacKeychain, TurnsInteractionOff) {
    EXPECT_EQ(keychainSetUserInteractionAllowed(false), keychain::success);
    EXPECT_FALSE(fakeSecurity::interactionAllowed());
}

TEST_F(MacKeychain, ReadsHandTheReadQueryAndTakeOnlyDataAsData) {
    Entries readEntries = lookupEntries;
    readEntries.emplace_back("kSecReturnData", "true");
    readEntries.emplace_back("kSecMatchLimit", "kSecMatchLimitOne");

    const std::string bytes("{\"a\":\"\0\xC3\xA9\"}", 11);
    fakeSecurity::answerNext(0, Slot::data, bytes);
    std::optional<std::string> data;
    EXPECT_EQ(keychainCopyMatching(readQuery(serviceV2, "AEFT"), data), keychain::success);
    EXPECT_EQ(data, bytes);
    // First a reference to the item, which decrypts nothing; then its data.
    Entries referenceEntries = lookupEntries;
    referenceEntries.emplace_back("kSecMatchLimit", "kSecMatchLimitOne");
    referenceEntries.emplace_back("kSecReturnRef", "true");
    ASSERT_EQ(fakeSecurity::calls().size(), 2U);
    EXPECT_EQ(fakeSecurity::calls()[0].first, referenceEntries);
    EXPECT_EQ(fakeSecurity::calls()[1].call, "SecItemCopyMatching");
    EXPECT_EQ(fakeSecurity::calls()[1].first, readEntries);
    EXPECT_TRUE(fakeSecurity::calls()[1].resultSlot);

    // Something other than data in the slot is released and is no data.
    data.reset();
    fakeSecurity::answerNext(0, Slot::string, "text");
    EXPECT_EQ(keychainCopyMatching(readQuery(serviceV2, "AEFT"), data), keychain::success);
    EXPECT_FALSE(data.has_value());

    for (const KeychainStatus status : {keychain::itemNotFound, keychain::interactionNotAllowed,
                                        keychain::authFailed, KeychainStatus{-34018}}) {
        fakeSecurity::answerNext(status);
        EXPECT_EQ(keychainCopyMatching(readQuery(serviceV2, "AEFT"), data), status);
        EXPECT_FALSE(data.has_value());
    }
}

// The keychain asked is the one that holds the item (the default one is another, unlocked),
// before and after the data read.
TEST_F(MacKeychain, RefusalsAreFinalOnlyFromAKeychainUnlockedBeforeAndAfter) {
    constexpr SecKeychainStatus open = kSecUnlockStateStatus | kSecReadPermStatus;
    constexpr SecKeychainStatus locked = kSecReadPermStatus;
    using fakeSecurity::Fails;
    struct Case {
        const char* name;
        Fails fails;
        std::vector<SecKeychainStatus> states;
        bool final;
    };
    // Whatever cannot be had of the holder's state is a passing state too: nothing is dropped.
    for (const Case& c : {Case{"unlocked", Fails::nowhere, {open}, true},
                          Case{"locked, another default", Fails::nowhere, {locked}, false},
                          Case{"unlocked after the read", Fails::nowhere, {locked, open}, false},
                          Case{"locked during the read", Fails::nowhere, {open, locked}, false},
                          Case{"no reference", Fails::referenceLookup, {open}, false},
                          Case{"no keychain for the item", Fails::itemKeychain, {open}, false},
                          Case{"state unreadable", Fails::statusRead, {open}, false}}) {
        for (const KeychainStatus refusal :
             {keychain::authFailed, keychain::interactionNotAllowed}) {
            fakeSecurity::setItemKeychain(c.states, c.fails);
            fakeSecurity::answerNext(refusal);
            std::optional<std::string> data;
            EXPECT_EQ(keychainCopyMatching(readQuery(serviceV2, "AEFT"), data),
                      c.final ? refusal : keychain::interactionRequired)
                << c.name << ", " << refusal;
        }
    }
}

TEST_F(MacKeychain, RevisionsCompareByCanonicalEquivalence) {
    EXPECT_TRUE(canonicallyEqual("caf\xC3\xA9", "cafe\xCC\x81"));
    EXPECT_FALSE(canonicallyEqual("cafe", "caf\xC3\xA9"));
    EXPECT_FALSE(canonicallyEqual("\xFF\xFE", "\xEF\xBF\xBD"));
    EXPECT_TRUE(canonicallyEqual("\xFF", "\xFF")); // identical bytes need no decoding
}

TEST_F(MacKeychain, WritesHandTheirDictionariesAndPassStatusesUp) {
    fakeSecurity::answerNext(keychain::duplicateItem);
    EXPECT_EQ(keychainAdd(creationAttributes("PPRO", "bytes")), keychain::duplicateItem);
    // -25299 can follow a replace that happened; the read-back after it decides.
    fakeSecurity::answerNext(keychain::duplicateItem);
    EXPECT_EQ(keychainUpdate(lookupQuery(serviceV2, "AEFT"), updateAttributes("new")),
              keychain::success);
    fakeSecurity::answerNext(keychain::itemNotFound);
    EXPECT_EQ(keychainDelete(lookupQuery(serviceV2, "AEFT")), keychain::itemNotFound);

    const auto& calls = fakeSecurity::calls();
    ASSERT_EQ(calls.size(), 3U);
    EXPECT_EQ(calls[0].call, "SecItemAdd");
    EXPECT_EQ(calls[0].first, (Entries{{"kSecClass", "kSecClassGenericPassword"},
                                       {"kSecAttrService", "com.pellimar.adobe.session.v2"},
                                       {"kSecAttrAccount", "PPRO"},
                                       {"kSecValueData", "data:bytes"},
                                       {"kSecAttrLabel", "Pellimar sign-in (Premiere Pro)"}}));
    EXPECT_FALSE(calls[0].resultSlot);
    EXPECT_EQ(calls[1].call, "SecItemUpdate");
    EXPECT_EQ(calls[1].first, lookupEntries);
    EXPECT_EQ(calls[1].second, (Entries{{"kSecValueData", "data:new"}}));
    EXPECT_EQ(calls[2].call, "SecItemDelete");
    EXPECT_EQ(calls[2].first, lookupEntries);
}

} // namespace

// Whole runs served in-process against the in-memory keychain: resolution, migration and
// the write, with every fault branch the real keychain cannot be made to produce.
#include "fake_process.h"
#include "lock_probe.h"
#include "memory_keychain.h"
#include "platform/json.h"
#include "store/items.h"

#include <cstdlib>
#include <functional>
#include <gtest/gtest.h>
#include <regex>

namespace {

using memoryKeychain::Call;
namespace mk = memoryKeychain;

const std::string v2(serviceV2);
const std::string v1(serviceV1);
const std::string aeft = "AEFT";

const std::string readAeft = R"({"host":"AEFT","op":"read"})";

std::string stored(const std::string& revision, const Json& session) {
    return Json{{"revision", revision}, {"session", session}}.dump();
}

Json serve(const std::string& input) {
    const std::string output = fakeProcess::serve(input);
    // Released on every path, and before the answer: here the process does not end to release
    // it. A lock left held would make the next request wait for ever, so the run stops now.
    if (sessionLockHeld("AEFT") || sessionLockHeld("PPRO")) {
        ADD_FAILURE() << "the lock is still held after answering " << input;
        std::exit(1);
    }
    return Json::parse(output);
}

Json serveJson(const Json& request) {
    return serve(request.dump());
}

Json writeRequest(const Json& expected, const Json& session) {
    return {
        {"host", "AEFT"}, {"op", "write"}, {"expectedRevision", expected}, {"session", session}};
}

std::string errorOf(const Json& response) {
    EXPECT_EQ(response.size(), 2U);
    EXPECT_EQ(response.at("ok"), false);
    return response.at("error").get<std::string>();
}

Json recordOf(const Json& response) {
    EXPECT_EQ(response.size(), 2U);
    EXPECT_EQ(response.at("ok"), true);
    return response.at("record");
}

bool touched(const std::string& service) {
    for (const auto& recorded : mk::calls()) {
        const auto* named = findAttr<std::string>(recorded.first, AttrKey::service);
        if (named != nullptr && *named == service) {
            return true;
        }
    }
    return false;
}

class Flow : public ::testing::Test {
  protected:
    void SetUp() override { mk::reset(); }
    // Every change of an item is made while its host's lock is held.
    void TearDown() override { EXPECT_EQ(mk::changesOutsideLock(), 0U); }
};

// --- Resolution of the current item ---

TEST_F(Flow, ADecodableCurrentItemIsUsedAndTheLegacyItemIgnored) {
    mk::put(v2, aeft, R"({"revision":"R1","session":{"a":1},"extra":2})");
    mk::put(v1, aeft, stored("OLD", nullptr));
    EXPECT_EQ(recordOf(serve(readAeft)), Json::parse(*mk::data(v2, aeft)));
    EXPECT_FALSE(touched(v1));
    EXPECT_TRUE(mk::data(v1, aeft).has_value());
    // The interaction switch is turned off once, before any item call.
    EXPECT_EQ(mk::calls().front().call, Call::setInteraction);
}

TEST_F(Flow, WithoutKeychainUIOffNoItemIsTouched) {
    mk::put(v2, aeft, stored("R1", nullptr));
    mk::answerNext(Call::setInteraction, keychain::notAvailable);
    EXPECT_EQ(errorOf(serve(readAeft)),
              "Keychain access unavailable. Unlock or allow access, then retry.");
    EXPECT_EQ(mk::calls().size(), 1U);
}

TEST_F(Flow, AnUnreadableCurrentItemStopsBothOperationsAndStays) {
    const std::string garbage = R"({"revision":1,"session":null})";
    mk::put(v2, aeft, garbage);
    for (const Json& request : {Json::parse(readAeft), writeRequest(nullptr, nullptr)}) {
        EXPECT_EQ(errorOf(serveJson(request)), "Saved sign-in is unreadable.");
    }
    mk::answerNext(Call::copyMatching, keychain::success); // success without data
    EXPECT_EQ(errorOf(serve(readAeft)), "Saved sign-in is unreadable.");
    EXPECT_EQ(mk::data(v2, aeft), garbage);
    EXPECT_EQ(mk::count(Call::remove), 0U);
    // A legacy item without data is kept too (on Windows, a file of another format).
    mk::reset();
    mk::put(v1, aeft, stored("OLD", nullptr));
    mk::passNext(Call::copyMatching);
    mk::answerNext(Call::copyMatching, keychain::success);
    EXPECT_EQ(errorOf(serve(readAeft)), "Saved sign-in is unreadable.");
    EXPECT_EQ(mk::data(v1, aeft), stored("OLD", nullptr));
    EXPECT_EQ(mk::count(Call::remove), 0U);
}

TEST_F(Flow, ACurrentItemThatNeedsTheUserIsDiscarded) {
    for (const KeychainStatus status : {keychain::interactionNotAllowed, keychain::authFailed}) {
        mk::reset();
        mk::put(v2, aeft, stored("R1", nullptr));
        mk::put(v1, aeft, stored("OLD", nullptr));
        mk::answerNext(Call::copyMatching, status);
        EXPECT_TRUE(recordOf(serve(readAeft)).is_null());
        EXPECT_FALSE(mk::data(v2, aeft).has_value());
        EXPECT_TRUE(mk::data(v1, aeft).has_value());
        EXPECT_FALSE(touched(v1));
    }
}

TEST_F(Flow, AnyOtherStatusMeansTheKeychainIsUnavailableAndNothingIsDeleted) {
    for (const KeychainStatus status :
         {keychain::notAvailable, keychain::badParameter, KeychainStatus{-1}}) {
        mk::reset();
        mk::put(v2, aeft, stored("R1", nullptr));
        mk::answerNext(Call::copyMatching, status);
        EXPECT_EQ(errorOf(serveJson(writeRequest("R1", nullptr))),
                  "Keychain access unavailable. Unlock or allow access, then retry.");
        EXPECT_EQ(mk::count(Call::remove), 0U);
        EXPECT_EQ(mk::data(v2, aeft), stored("R1", nullptr));
    }
}

// --- Migration from the legacy service ---

TEST_F(Flow, NothingSavedAnywhereReadsAsNullAfterALegacyDelete) {
    EXPECT_TRUE(recordOf(serve(readAeft)).is_null());
    ASSERT_EQ(mk::count(Call::remove), 1U);
    EXPECT_EQ(*findAttr<std::string>(mk::calls().back().first, AttrKey::service), v1);
}

TEST_F(Flow, AnUnusableLegacyItemIsDeleted) {
    struct Case {
        const char* name;
        KeychainStatus status;
        std::optional<std::string> data;
    };
    for (const Case& c : {Case{"refused", keychain::interactionNotAllowed, std::nullopt},
                          Case{"undecodable", keychain::success, std::string("[1]")}}) {
        mk::reset();
        mk::put(v1, aeft, stored("OLD", nullptr));
        mk::passNext(Call::copyMatching);
        mk::answerNext(Call::copyMatching, c.status, c.data);
        EXPECT_TRUE(recordOf(serve(readAeft)).is_null()) << c.name;
        EXPECT_FALSE(mk::data(v1, aeft).has_value()) << c.name;
        EXPECT_FALSE(mk::data(v2, aeft).has_value()) << c.name;
    }
}

TEST_F(Flow, ALegacyRecordMovesUnchangedOnceItReadsBack) {
    const std::string legacy = R"({"session":{"token":"t"},"revision":"OLD","extra":[1]})";
    mk::put(v1, "PPRO", legacy);
    const Json record = recordOf(serve(std::string(R"({"host":"PPRO","op":"read"})")));
    EXPECT_EQ(record, Json::parse(legacy));
    EXPECT_EQ(mk::data(v2, "PPRO"), legacy);
    EXPECT_EQ(mk::label(v2, "PPRO"), "Pellimar sign-in (Premiere Pro)");
    EXPECT_FALSE(mk::data(v1, "PPRO").has_value());

    // The migrated record is current: a write naming its legacy revision updates it.
    const Json next = recordOf(serveJson(Json{
        {"host", "PPRO"}, {"op", "write"}, {"expectedRevision", "OLD"}, {"session", nullptr}}));
    EXPECT_EQ(mk::data(v2, "PPRO"), next.dump());
    EXPECT_EQ(mk::count(Call::update), 1U);
}

TEST_F(Flow, AFailedMigrationKeepsTheLegacyItemForTheNextRun) {
    const std::string legacy = stored("OLD", {{"a", 1}});
    struct Case {
        const char* name;
        std::function<void()> script;
    };
    const std::vector<Case> cases{
        {"add refused", [] { mk::answerNext(Call::add, keychain::notAvailable); }},
        {"read-back refused",
         [] {
             mk::passNext(Call::copyMatching);
             mk::passNext(Call::copyMatching);
             mk::answerNext(Call::copyMatching, keychain::notAvailable);
         }},
        {"read-back empty",
         [] {
             mk::passNext(Call::copyMatching);
             mk::passNext(Call::copyMatching);
             mk::answerNext(Call::copyMatching, keychain::success);
         }},
        {"read-back different",
         [] {
             mk::passNext(Call::copyMatching);
             mk::passNext(Call::copyMatching);
             mk::answerNext(Call::copyMatching, keychain::success, stored("OLD", {{"a", 2}}));
         }},
    };
    for (const Case& c : cases) {
        mk::reset();
        mk::put(v1, aeft, legacy);
        c.script();
        EXPECT_TRUE(recordOf(serve(readAeft)).is_null()) << c.name;
        EXPECT_EQ(mk::data(v1, aeft), legacy) << c.name;
        EXPECT_FALSE(mk::data(v2, aeft).has_value()) << c.name;
    }
}

TEST_F(Flow, ALegacyItemOutOfReachForNowIsNotASignOut) {
    mk::put(v1, aeft, stored("OLD", nullptr));
    mk::passNext(Call::copyMatching);
    mk::answerNext(Call::copyMatching, keychain::interactionRequired);
    EXPECT_EQ(errorOf(serve(readAeft)),
              "Keychain access unavailable. Unlock or allow access, then retry.");
    EXPECT_EQ(mk::data(v1, aeft), stored("OLD", nullptr));
    EXPECT_EQ(mk::count(Call::add) + mk::count(Call::remove), 0U);
}

// --- The write ---

TEST_F(Flow, RevisionCheckFollowsItsTable) {
    struct Case {
        Json expected;
        std::optional<std::string> current;
        bool passes;
    };
    const std::vector<Case> cases{
        {"R1", "R1", true},
        {"R1", "R2", false},
        {"R1", std::nullopt, false},
        {"", std::nullopt, false},
        {nullptr, std::nullopt, true},
        {7, std::nullopt, true},
        {false, std::nullopt, true},
        {Json::array({"R1"}), std::nullopt, true},
        {Json::object({{"r", "R1"}}), std::nullopt, true},
        {nullptr, "R1", false},
        {7, "R1", false},
        {Json::object(), "R1", false},
        // Canonically equivalent: precomposed e-acute against e and a combining accent.
        {"caf\xC3\xA9", "cafe\xCC\x81", true},
        {"cafe", "caf\xC3\xA9", false},
        {"4c1f6d0a-0b7e", "4C1F6D0A-0B7E", false}, // letter case is not folded
    };
    for (const Case& c : cases) {
        mk::reset();
        if (c.current) {
            mk::put(v2, aeft, stored(*c.current, nullptr));
        }
        const Json response = serveJson(writeRequest(c.expected, {{"k", "v"}}));
        EXPECT_EQ(response.at("ok"), c.passes)
            << c.expected << " vs " << c.current.value_or("none");
        if (!c.passes) {
            EXPECT_EQ(errorOf(response), "Sign-in changed in another panel. Reopen Sandrel.");
            EXPECT_EQ(mk::count(Call::add) + mk::count(Call::update), 0U);
        }
    }
}

TEST_F(Flow, MissingMembersAreAConflictAndBadSessionsComeAfterTheRevisionCheck) {
    mk::put(v2, aeft, stored("R1", nullptr));
    const std::string conflict = "Sign-in changed in another panel. Reopen Sandrel.";
    EXPECT_EQ(errorOf(serve(std::string(R"({"host":"AEFT","op":"write","session":{}})"))),
              conflict);
    EXPECT_EQ(
        errorOf(serve(std::string(R"({"host":"AEFT","op":"write","expectedRevision":"R1"})"))),
        conflict);
    for (const Json& session : {Json("s"), Json(1), Json(true), Json::array()}) {
        EXPECT_EQ(errorOf(serveJson(writeRequest("R1", session))), "Invalid session request.");
        EXPECT_EQ(errorOf(serveJson(writeRequest("R0", session))), conflict);
    }
    EXPECT_EQ(mk::data(v2, aeft), stored("R1", nullptr));
}

TEST_F(Flow, TheFirstWriteAddsALabelledItemAndLaterWritesUpdateIt) {
    const Json session = {{"user", {{"id", 7}, {"roles", {"a", "b"}}}}, {"note", "\xE2\x9C\x93"}};
    const Json first = recordOf(serveJson(writeRequest(nullptr, session)));
    EXPECT_EQ(first.size(), 2U);
    EXPECT_EQ(first.at("session"), session);
    const std::string revision = first.at("revision").get<std::string>();
    EXPECT_TRUE(std::regex_match(
        revision,
        std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")));
    EXPECT_EQ(mk::label(v2, aeft), "Pellimar sign-in (After Effects)");
    EXPECT_EQ(Json::parse(*mk::data(v2, aeft)), first);

    // Signing out stores a null session under a new revision; a read returns that record.
    const Json signedOut = recordOf(serveJson(writeRequest(revision, nullptr)));
    EXPECT_NE(signedOut.at("revision"), revision);
    EXPECT_TRUE(signedOut.at("session").is_null());
    EXPECT_EQ(recordOf(serve(readAeft)), signedOut);
    EXPECT_EQ(mk::count(Call::add), 1U);
    EXPECT_EQ(mk::count(Call::update), 1U);
}

TEST_F(Flow, TheEncodedRecordMayBeExactly32768Bytes) {
    // A record is its session plus 62 bytes: {"revision":"<36>","session":…}.
    const auto requestFor = [](std::size_t recordBytes) {
        const std::string text(recordBytes - 62 - 8, 'x'); // {"p":"…"} around the text
        // A numeric expectedRevision counts as null and keeps the request within its limit.
        return R"({"host":"AEFT","op":"write","expectedRevision":0,"session":{"p":")" + text +
               R"("}})";
    };
    EXPECT_EQ(recordOf(serve(requestFor(32768))).dump().size(), 32768U);
    mk::reset();
    EXPECT_EQ(errorOf(serve(requestFor(32769))), "Saved sign-in is too large.");
    EXPECT_EQ(mk::count(Call::add) + mk::count(Call::remove), 1U); // only the legacy delete
}

TEST_F(Flow, SaveFailuresAreReportedWithoutASecondAttempt) {
    mk::put(v2, aeft, stored("R1", nullptr));
    mk::answerNext(Call::update, keychain::interactionNotAllowed);
    EXPECT_EQ(errorOf(serveJson(writeRequest("R1", nullptr))),
              "Could not save sign-in in Keychain. Retry after allowing access.");
    EXPECT_EQ(mk::count(Call::add), 0U);
    EXPECT_EQ(mk::data(v2, aeft), stored("R1", nullptr));

    mk::reset();
    mk::answerNext(Call::add, keychain::duplicateItem);
    EXPECT_EQ(errorOf(serveJson(writeRequest(nullptr, nullptr))),
              "Could not save sign-in in Keychain. Retry after allowing access.");
    EXPECT_EQ(mk::count(Call::update), 0U);
    // The delete of the current item came before the add.
    const auto& calls = mk::calls();
    ASSERT_GE(calls.size(), 2U);
    EXPECT_EQ(calls[calls.size() - 2].call, Call::remove);
    EXPECT_EQ(*findAttr<std::string>(calls[calls.size() - 2].first, AttrKey::service), v2);
}

TEST_F(Flow, AWriteThatDoesNotReadBackIsNotReportedAsSaved) {
    struct Case {
        KeychainStatus status;
        std::optional<std::string> data;
    };
    for (const Case& c :
         {Case{keychain::notAvailable, std::nullopt}, Case{keychain::success, std::nullopt},
          Case{keychain::success, stored("R9", nullptr)}}) {
        mk::reset();
        mk::put(v2, aeft, stored("R1", nullptr));
        mk::passNext(Call::copyMatching);
        mk::answerNext(Call::copyMatching, c.status, c.data);
        EXPECT_EQ(errorOf(serveJson(writeRequest("R1", {{"a", 1}}))),
                  "Saved sign-in could not be verified. Reopen Sandrel.");
    }
}

// --- Intake inside the process ---

TEST_F(Flow, DeepNestingIsRefusedAsMalformedNotCrashed) {
    const std::string catchAll =
        "Secure sign-in storage is unavailable. Retry after unlocking Keychain.";
    EXPECT_EQ(errorOf(serve(std::string(16000, '[') + std::string(16000, ']'))), catchAll);
    const std::string deepSession = std::string(5000, '[') + std::string(5000, ']');
    EXPECT_EQ(errorOf(serve(R"({"host":"AEFT","op":"write","expectedRevision":null,"session":)" +
                            deepSession + "}")),
              catchAll);
    // Stored data nested as deeply is simply not a record.
    mk::put(v2, aeft, R"({"revision":"r","session":)" + deepSession + "}");
    EXPECT_EQ(errorOf(serve(readAeft)), "Saved sign-in is unreadable.");
    // Nesting a real session might use is fine.
    mk::reset();
    const std::string nested = std::string(100, '[') + std::string(100, ']');
    EXPECT_EQ(
        recordOf(serve(R"({"host":"AEFT","op":"write","expectedRevision":null,"session":{"n":)" +
                       nested + "}}"))
            .at("session")
            .at("n")
            .dump(),
        nested);
}

TEST_F(Flow, InputIsReadOnlyUpToTheChunkThatCrossesTheLimit) {
    EXPECT_EQ(errorOf(serve(std::string(200000, ' '))), "Invalid session request.");
    EXPECT_EQ(fakeProcess::bytesRead(), 32768U + 4096U);
    EXPECT_EQ(mk::calls().size(), 1U); // only the start-up call
}

} // namespace

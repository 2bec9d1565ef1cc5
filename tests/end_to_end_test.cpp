// The whole job as a panel uses it: the built binary against the real Secret Service.
#include "requests.h"
#include "shell.h"

#include <cstdlib>
#include <gtest/gtest.h>

namespace {

using nlohmann::json;

TEST(EndToEnd, ReadWriteConflictAndSignOut) {
    EXPECT_TRUE(read("AEFT").at("record").is_null());

    const json first = write("AEFT", nullptr, {{"token", "t1"}, {"user", {{"id", 1}}}});
    ASSERT_EQ(first.at("ok"), true);
    const json record = first.at("record");
    EXPECT_EQ(read("AEFT").at("record"), record);
    const std::string stored =
        shellOutput("secret-tool lookup service com.pellimar.adobe.session.v2 account AEFT");
    EXPECT_EQ(json::parse(stored), record);
    EXPECT_NE(
        shellOutput("secret-tool search service com.pellimar.adobe.session.v2 account AEFT 2>&1")
            .find("label = Pellimar sign-in (After Effects)"),
        std::string::npos);

    const json second = write("AEFT", record.at("revision"), {{"token", "t2"}});
    ASSERT_EQ(second.at("ok"), true);
    // A panel still holding the first revision is told the sign-in changed.
    const json stale = write("AEFT", record.at("revision"), {{"token", "t3"}});
    EXPECT_EQ(stale.at("error"), conflictMessage);
    EXPECT_EQ(read("AEFT").at("record"), second.at("record"));

    const json signedOut = write("AEFT", second.at("record").at("revision"), nullptr);
    ASSERT_EQ(signedOut.at("ok"), true);
    EXPECT_TRUE(signedOut.at("record").at("session").is_null());
    EXPECT_EQ(read("AEFT").at("record"), signedOut.at("record"));
    // The other host was never touched.
    EXPECT_TRUE(read("PPRO").at("record").is_null());
}

TEST(EndToEnd, ALegacyItemMigratesOnFirstRead) {
    const std::string legacy = R"({"revision":"LEGACY-1","session":{"token":"old"},"since":2019})";
    shellOutput(
        "printf %s '" + legacy +
        "' | secret-tool store --label=Old service com.sandrel.adobe.session.v1 account PPRO");
    EXPECT_EQ(read("PPRO").at("record"), json::parse(legacy));
    EXPECT_EQ(shellOutput("secret-tool lookup service com.pellimar.adobe.session.v2 account PPRO"),
              legacy);
    EXPECT_NE(
        shellOutput("secret-tool search service com.pellimar.adobe.session.v2 account PPRO 2>&1")
            .find("label = Pellimar sign-in (Premiere Pro)"),
        std::string::npos);
    EXPECT_EQ(shellOutput("secret-tool lookup service com.sandrel.adobe.session.v1 account PPRO"),
              "");
    EXPECT_EQ(write("PPRO", "LEGACY-1", {{"token", "new"}}).at("ok"), true);
}

TEST(EndToEnd, AnUnreadableItemIsReportedAndKept) {
    shellOutput("printf %s 'not a record' | secret-tool store --label=Broken "
                "service com.pellimar.adobe.session.v2 account AEFT");
    const std::string unreadable = "Saved sign-in is unreadable.";
    EXPECT_EQ(read("AEFT").at("error"), unreadable);
    EXPECT_EQ(write("AEFT", nullptr, json::object()).at("error"), unreadable);
    EXPECT_EQ(shellOutput("secret-tool lookup service com.pellimar.adobe.session.v2 account AEFT"),
              "not a record");
}

TEST(EndToEnd, NoEnvironmentVariableChangesWhatIsStoredOrPrinted) {
    const json current = read("PPRO").at("record");
    RunOptions hostile;
    hostile.environment = {
        std::string("DBUS_SESSION_BUS_ADDRESS=") + std::getenv("DBUS_SESSION_BUS_ADDRESS"),
        std::string("XDG_RUNTIME_DIR=") + std::getenv("XDG_RUNTIME_DIR"),
        "SECRET_SERVICE_BUS_NAME=org.example.collector", // where libsecret would send the secret
        "G_DBUS_DEBUG=message",                          // traces on standard output
        "G_MESSAGES_DEBUG=all",
        "HOME=/nonexistent",
    };
    const json written = responseOf(runTool(
        json{{"host", "PPRO"},
             {"op", "write"},
             {"expectedRevision", current.is_null() ? json(nullptr) : current.at("revision")},
             {"session", {{"token", "t"}}}}
            .dump(),
        hostile));
    ASSERT_EQ(written.value("ok", false), true);
    EXPECT_EQ(json::parse(shellOutput(
                  "secret-tool lookup service com.pellimar.adobe.session.v2 account PPRO")),
              written.at("record"));
}

} // namespace

// A locked keyring: the tool never prompts and never unlocks. Runs in a session of its own,
// since it leaves the keyring locked.
#include "envelope_check.h"
#include "platform/keychain.h"
#include "store/items.h"

#include "shell.h"

#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <libsecret/secret.h>
#include <thread>

namespace {

void lockDefaultCollection() {
    SecretService* service = secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, nullptr);
    ASSERT_NE(service, nullptr);
    SecretCollection* collection = secret_collection_for_alias_sync(
        service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, nullptr);
    ASSERT_NE(collection, nullptr);
    GList* objects = g_list_append(nullptr, collection);
    const gint locked = secret_service_lock_sync(service, objects, nullptr, nullptr, nullptr);
    g_list_free(objects);
    g_object_unref(collection);
    g_object_unref(service);
    ASSERT_EQ(locked, 1);
}

// Records every call that would run a Secret Service prompt while it lives.
class PromptWatch {
  public:
    PromptWatch() : log(std::string(std::getenv("SANDREL_SCRATCH")) + "/prompts.log") {
        const std::string command =
            "dbus-monitor --session "
            "\"type='method_call',interface='org.freedesktop.Secret.Prompt'\""
            " >'" +
            log + "' 2>/dev/null & echo $!";
        pid = std::stoi(shellOutput(command));
        std::this_thread::sleep_for(std::chrono::milliseconds(300)); // until it listens
    }
    ~PromptWatch() { kill(pid, SIGTERM); }
    PromptWatch(const PromptWatch&) = delete;
    PromptWatch& operator=(const PromptWatch&) = delete;
    std::string calls() const {
        std::ifstream in(log);
        return {std::istreambuf_iterator<char>(in), {}};
    }

  private:
    std::string log;
    pid_t pid = -1;
};

TEST(LockedKeyring, IsReportedAsNeedingTheUserAndNothingIsPrompted) {
    const std::string seeded = R"({"revision":"R1","session":{"a":1}})";
    const auto written = responseOf(
        runTool(R"({"host":"AEFT","op":"write","expectedRevision":null,"session":{"a":1}})"));
    ASSERT_EQ(written.at("ok"), true);
    lockDefaultCollection();
    const PromptWatch prompts;

    std::optional<std::string> data;
    EXPECT_EQ(keychainCopyMatching(readQuery(serviceV2, "AEFT"), data),
              keychain::interactionNotAllowed);
    EXPECT_FALSE(data.has_value());
    Dictionary attributes = itemAttributes(serviceV2, "PPRO");
    attributes.emplace_back(AttrKey::valueData, ItemBytes{seeded});
    attributes.emplace_back(AttrKey::label, "x");
    EXPECT_EQ(keychainAdd(attributes), keychain::interactionNotAllowed);
    EXPECT_EQ(keychainDelete(lookupQuery(serviceV2, "AEFT")), keychain::interactionNotAllowed);

    // Through the tool: the saved sign-in cannot be had without the user, so none is current,
    // but the locked item is not destroyed and a write cannot save.
    EXPECT_TRUE(responseOf(runTool(R"({"host":"AEFT","op":"read"})")).at("record").is_null());
    EXPECT_EQ(
        errorOf(runTool(R"({"host":"PPRO","op":"write","expectedRevision":null,"session":{}})")),
        "Could not save sign-in in Keychain. Retry after allowing access.");
    EXPECT_EQ(keychainCopyMatching(readQuery(serviceV2, "AEFT"), data),
              keychain::interactionNotAllowed);
}

TEST(NoKeyring, AnUnreachableBusIsUnavailableNotAHang) {
    const std::string unavailable =
        "Keychain access unavailable. Unlock or allow access, then retry.";
    RunOptions noBus;
    noBus.environment = {"PATH=/usr/bin:/bin", "XDG_RUNTIME_DIR=/nonexistent"};
    EXPECT_EQ(errorOf(runTool(R"({"host":"AEFT","op":"read"})", noBus)), unavailable);
    // Even with an X display to autolaunch a bus for, none is started.
    noBus.environment.emplace_back("DISPLAY=:0");
    EXPECT_EQ(errorOf(runTool(R"({"host":"AEFT","op":"read"})", noBus)), unavailable);

    // A bus on which no Secret Service runs or can be started: the standard session bus
    // without its service folders.
    const std::string config = std::string(std::getenv("SANDREL_SCRATCH")) + "/bare-bus.conf";
    shellOutput("grep -v servicedir /usr/share/dbus-1/session.conf >'" + config + "'");
    std::string address =
        shellOutput("dbus-daemon --fork --print-address=1 --config-file=" + config);
    address.erase(address.find('\n'));
    RunOptions noService;
    noService.environment = {"PATH=/usr/bin:/bin", "DBUS_SESSION_BUS_ADDRESS=" + address};
    EXPECT_EQ(errorOf(runTool(R"({"host":"AEFT","op":"read"})", noService)), unavailable);

    RunOptions deadBus;
    deadBus.environment = {"PATH=/usr/bin:/bin",
                           "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/bus"};
    EXPECT_EQ(errorOf(runTool(R"({"host":"AEFT","op":"read"})", deadBus)), unavailable);
}

} // namespace

// A locked keyring: the tool never prompts and never unlocks. Runs in a session of its own,
// since it leaves the keyring locked.
#include "envelope_check.h"
#include "keychain_calls.h"
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

// What the PAM module does at login: unlocks the login keyring with its password, no prompt.
void unlockLoginCollection() {
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    ASSERT_NE(bus, nullptr);
    GVariant* opened = g_dbus_connection_call_sync(
        bus, "org.freedesktop.secrets", "/org/freedesktop/secrets",
        "org.freedesktop.Secret.Service", "OpenSession",
        g_variant_new("(sv)", "plain", g_variant_new_string("")), G_VARIANT_TYPE("(vo)"),
        G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
    ASSERT_NE(opened, nullptr);
    GVariant* output = nullptr;
    const gchar* session = nullptr;
    g_variant_get(opened, "(v&o)", &output, &session);
    const std::string password = "throwaway";
    GVariant* secret = g_variant_new(
        "(o@ay@ays)", session, g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, "", 0, 1),
        g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, password.data(), password.size(), 1),
        "text/plain");
    GError* error = nullptr;
    GVariant* unlocked = g_dbus_connection_call_sync(
        bus, "org.freedesktop.secrets", "/org/freedesktop/secrets",
        "org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface", "UnlockWithMasterPassword",
        g_variant_new("(o@(oayays))", "/org/freedesktop/secrets/collection/login", secret), nullptr,
        G_DBUS_CALL_FLAGS_NONE, -1, nullptr, &error);
    EXPECT_NE(unlocked, nullptr) << (error != nullptr ? error->message : "");
    if (unlocked != nullptr) {
        g_variant_unref(unlocked);
    }
    if (error != nullptr) {
        g_error_free(error);
    }
    g_variant_unref(output);
    g_variant_unref(opened);
    g_object_unref(bus);
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

const std::string unavailable = "Keychain access unavailable. Unlock or allow access, then retry.";

TEST(LockedKeyring, IsAPassingStateThatLosesNothingAndPromptsNothing) {
    const auto written = responseOf(
        runTool(R"({"host":"AEFT","op":"write","expectedRevision":null,"session":{"a":1}})"));
    ASSERT_EQ(written.at("ok"), true);
    const auto record = written.at("record");
    lockDefaultCollection();
    {
        const PromptWatch prompts;
        std::optional<std::string> data;
        EXPECT_EQ(keychainCopyMatching(readQuery(serviceV2, "AEFT"), data),
                  keychain::interactionRequired);
        EXPECT_FALSE(data.has_value());
        EXPECT_EQ(keychainAdd(creationAttributes("PPRO", "{}")), keychain::interactionRequired);
        EXPECT_EQ(keychainUpdate(lookupQuery(serviceV2, "AEFT"), updateAttributes("{}")),
                  keychain::interactionRequired);
        EXPECT_EQ(keychainDelete(lookupQuery(serviceV2, "AEFT")), keychain::interactionRequired);

        // Through the tool: the saved sign-in is out of reach until the user unlocks, for a
        // read and a write alike; with nothing saved, a write creates nothing.
        EXPECT_EQ(errorOf(runTool(R"({"host":"AEFT","op":"read"})")), unavailable);
        const nlohmann::json write = {{"host", "AEFT"},
                                      {"op", "write"},
                                      {"expectedRevision", record.at("revision")},
                                      {"session", {{"a", 2}}}};
        EXPECT_EQ(errorOf(runTool(write.dump())), unavailable);
        EXPECT_EQ(errorOf(runTool(
                      R"({"host":"PPRO","op":"write","expectedRevision":null,"session":{}})")),
                  "Could not save sign-in in Keychain. Retry after allowing access.");
        EXPECT_EQ(prompts.calls().find("method call"), std::string::npos) << prompts.calls();
    }
    unlockLoginCollection();
    EXPECT_EQ(responseOf(runTool(R"({"host":"AEFT","op":"read"})")).at("record"), record);

    // A legacy sign-in out of reach is not a sign-out either; it moves once unlocked.
    const std::string legacy = R"({"revision":"OLD","session":1})";
    ASSERT_EQ(keychainAdd(creation(std::string(serviceV1), "PPRO", legacy, "legacy")),
              keychain::success);
    lockDefaultCollection();
    EXPECT_EQ(errorOf(runTool(R"({"host":"PPRO","op":"read"})")), unavailable);
    unlockLoginCollection();
    EXPECT_EQ(responseOf(runTool(R"({"host":"PPRO","op":"read"})")).at("record"),
              nlohmann::json::parse(legacy));
}

// The address of a new bus on which no Secret Service runs or can be started: the world's
// session bus without its service folders.
std::string bareBus() {
    const std::string scratch = std::getenv("SANDREL_SCRATCH");
    const std::string config = scratch + "/bare-bus.conf";
    shellOutput("grep -v servicedir '" + scratch + "/session.conf' >'" + config + "'");
    std::string address =
        shellOutput("dbus-daemon --fork --print-address=1 --config-file=" + config);
    return address.substr(0, address.find('\n'));
}

TEST(NoKeyring, AnUnreachableBusIsUnavailableNotAHang) {
    RunOptions noBus;
    noBus.environment = {"PATH=/usr/bin:/bin", "XDG_RUNTIME_DIR=/nonexistent"};
    EXPECT_EQ(errorOf(runTool(R"({"host":"AEFT","op":"read"})", noBus)), unavailable);
    // Even with an X display to autolaunch a bus for, none is started.
    noBus.environment.emplace_back("DISPLAY=:0");
    EXPECT_EQ(errorOf(runTool(R"({"host":"AEFT","op":"read"})", noBus)), unavailable);

    RunOptions noService;
    noService.environment = {"PATH=/usr/bin:/bin", "DBUS_SESSION_BUS_ADDRESS=" + bareBus()};
    EXPECT_EQ(errorOf(runTool(R"({"host":"AEFT","op":"read"})", noService)), unavailable);

    RunOptions deadBus;
    deadBus.environment = {"PATH=/usr/bin:/bin",
                           "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/bus"};
    EXPECT_EQ(errorOf(runTool(R"({"host":"AEFT","op":"read"})", deadBus)), unavailable);
}

TEST(MisbehavingService, IsUnavailableWithinTheDeadlineAndLosesNothing) {
    for (const std::string mode : {"refusing", "silent", "locked"}) {
        const std::string address = bareBus();
        const std::string log = std::string(std::getenv("SANDREL_SCRATCH")) + "/" + mode + ".log";
        const pid_t fake = std::stoi(shellOutput("DBUS_SESSION_BUS_ADDRESS='" + address + "' " +
                                                 FAKE_SECRET_SERVICE + " " + mode + " >'" + log +
                                                 "' 2>/dev/null & echo $!"));
        for (int waited = 0; waited < 100 && shellOutput("cat '" + log + "'").empty(); ++waited) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        RunOptions options;
        options.environment = {"PATH=/usr/bin:/bin", "DBUS_SESSION_BUS_ADDRESS=" + address};
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(errorOf(runTool(R"({"host":"AEFT","op":"read"})", options)), unavailable);
        // GLib's own waits are 25 s; the tool gives up after its 6 s deadline.
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(15)) << mode;
        kill(fake, SIGTERM);
        const std::string calls = shellOutput("cat '" + log + "'");
        EXPECT_EQ(calls.find("Delete"), std::string::npos) << mode << ":\n" << calls;
        if (mode != "silent") {
            EXPECT_NE(calls.find("GetSecrets"), std::string::npos) << calls;
        }
    }
}

} // namespace

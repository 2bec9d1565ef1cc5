// The Secret Service backend against a real gnome-keyring in a private session, and the
// process hardening that guards what it reads.
#include "keychain_calls.h"
#include "platform/process.h"
#include "shell.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

TEST(SecretService, ItemsAreAddedReadUpdatedAndDeletedBinarySafe) {
    const std::string service = "test.sandrel.roundtrip";
    const std::string bytes("{\"a\":\"\0\xC3\xA9\xE2\x82\xAC\xFF\"}", 16);
    EXPECT_EQ(copy(service, "AEFT").status, keychain::itemNotFound);
    EXPECT_EQ(keychainUpdate(lookupQuery(service, "AEFT"), updateAttributes("x")),
              keychain::itemNotFound);
    EXPECT_NE(keychainDelete(lookupQuery(service, "AEFT")), keychain::success);

    ASSERT_EQ(keychainAdd(creation(service, "AEFT", bytes, "First label")), keychain::success);
    EXPECT_EQ(keychainAdd(creation(service, "AEFT", "other", "Second")), keychain::duplicateItem);
    const Read read = copy(service, "AEFT");
    EXPECT_EQ(read.status, keychain::success);
    EXPECT_EQ(read.data, bytes);
    EXPECT_EQ(copy(service, "PPRO").status, keychain::itemNotFound);

    ASSERT_EQ(keychainUpdate(lookupQuery(service, "AEFT"), updateAttributes("updated")),
              keychain::success);
    EXPECT_EQ(copy(service, "AEFT").data, "updated");
    const std::string listed =
        shellOutput("secret-tool search service " + service + " account AEFT 2>&1");
    EXPECT_NE(listed.find("label = First label"), std::string::npos) << listed;
    EXPECT_EQ(listed.find("Second"), std::string::npos) << listed;

    EXPECT_EQ(keychainDelete(lookupQuery(service, "AEFT")), keychain::success);
    EXPECT_EQ(copy(service, "AEFT").status, keychain::itemNotFound);
}

TEST(SecretService, InteroperatesWithSecretTool) {
    const std::string service = "test.sandrel.interop";
    ASSERT_EQ(keychainAdd(creation(service, "AEFT", "from the tool", "Tool label")),
              keychain::success);
    EXPECT_EQ(shellOutput("secret-tool lookup service " + service + " account AEFT"),
              "from the tool");
    EXPECT_NE(shellOutput("secret-tool search service " + service + " account AEFT 2>&1")
                  .find("label = Tool label"),
              std::string::npos);

    shellOutput("printf %s 'from secret-tool' | secret-tool store --label=Stored service " +
                service + " account PPRO");
    EXPECT_EQ(copy(service, "PPRO").data, "from secret-tool");
    EXPECT_EQ(keychainAdd(creation(service, "PPRO", "again", "x")), keychain::duplicateItem);
    EXPECT_EQ(keychainDelete(lookupQuery(service, "PPRO")), keychain::success);
    EXPECT_EQ(shellOutput("secret-tool lookup service " + service + " account PPRO"), "");
}

// In a child, since the hardening cannot be undone: no core file, no attaching, and nothing of
// the environment but the bus's address.
TEST(Process, HardeningTurnsOffCoreFilesAndAttachingAndKeepsOnlyTheBus) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        setenv("HOME", "/elsewhere", 1);
        setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/bus", 1);
        hardenProcess();
        rlimit core{1, 1};
        const bool noCore =
            getrlimit(RLIMIT_CORE, &core) == 0 && core.rlim_cur == 0 && core.rlim_max == 0;
        const bool notDumpable = prctl(PR_GET_DUMPABLE, 0, 0, 0, 0) == 0;
        const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
        const bool onlyBus = std::getenv("HOME") == nullptr && bus != nullptr;
        _exit((noCore ? 0 : 1) | (notDumpable ? 0 : 2) | (onlyBus ? 0 : 4));
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0) << "bits: 1 core files, 2 dumpable, 4 environment";
}

} // namespace

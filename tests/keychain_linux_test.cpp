// The Secret Service backend against a real gnome-keyring in a private session.
#include "keychain_calls.h"
#include "shell.h"

#include <gtest/gtest.h>

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

} // namespace

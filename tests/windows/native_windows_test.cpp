// What only real Windows can show, run by the Windows workflow: Wine makes DACLs up from Unix
// modes and cannot make junctions. The lock folder, the Items folder and an item file carry a
// protected DACL of three entries; a folder that grants Everyone, and a junction or symbolic
// link at the folder or at the lock file, are refused.
#include "keychain_calls.h"
#include "lock/session_lock.h"
#include "platform/files.h"
#include "platform/process.h"

#include <aclapi.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <random>

namespace fs = std::filesystem;

namespace {

struct Answered {
    std::string output;
};

fs::path home;

fs::path lockFolder() {
    return home / "Sandrel Adobe Auth";
}

// The tool's answer when taking the lock ends the run; empty when the lock was taken.
std::string lockAnswer() {
    try {
        releaseSessionLock(acquireSessionLock("AEFT"));
    } catch (const Answered& answered) {
        return answered.output;
    }
    return "";
}

void link(const std::string& kind, const fs::path& at, const fs::path& target) {
    const std::string command =
        "cmd /c mklink " + kind + " \"" + at.string() + "\" \"" + target.string() + "\" >NUL";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

class NativeLock : public ::testing::Test {
  protected:
    void SetUp() override {
        home = fs::temp_directory_path() /
               ("sandrel-native-test." + std::to_string(std::random_device()()));
        fs::create_directory(home);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(home, ignored);
    }
};

// A protected DACL of exactly the user, SYSTEM and Administrators.
void expectPrivate(const fs::path& path) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(GetNamedSecurityInfoW(path.wstring().c_str(), SE_FILE_OBJECT,
                                    DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                                    &descriptor),
              static_cast<DWORD>(ERROR_SUCCESS));
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(descriptor, &control, &revision);
    EXPECT_NE(control & SE_DACL_PROTECTED, 0) << path << " inherits from its parent";
    EXPECT_EQ(dacl->AceCount, 3U) << path;
    LocalFree(descriptor);
}

TEST_F(NativeLock, TheFoldersAndItemsAreProtectedAndAFolderGrantingEveryoneIsRefused) {
    ASSERT_EQ(lockAnswer(), "");
    ASSERT_EQ(keychainAdd(creation("test.native", "AEFT", "secret", "x")), keychain::success);
    expectPrivate(lockFolder());
    expectPrivate(lockFolder() / "Items");
    expectPrivate(lockFolder() / "Items" / "test.native+%41%45%46%54.item");

    const std::string grant = "icacls \"" + lockFolder().string() + "\" /grant *S-1-1-0:(R) >NUL";
    ASSERT_EQ(std::system(grant.c_str()), 0);
    EXPECT_EQ(lockAnswer(), "{\"error\":\"Session lock folder is not private.\",\"ok\":false}");
}

// A reader that shares delete access, as antivirus and indexers do, does not stop a save: the
// item is replaced by a rename with POSIX semantics (Windows 10 1809 and later, on NTFS).
TEST_F(NativeLock, AReplaceSucceedsWhileAnotherHoldsTheItemOpen) {
    ASSERT_EQ(keychainAdd(creation("test.open", "AEFT", "old", "x")), keychain::success);
    const fs::path item = lockFolder() / "Items" / "test.open+%41%45%46%54.item";
    HANDLE reader = CreateFileW(item.wstring().c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    EXPECT_EQ(keychainUpdate(lookupQuery("test.open", "AEFT"), updateAttributes("new")),
              keychain::success);
    CloseHandle(reader);
    EXPECT_EQ(copy("test.open", "AEFT").data, "new");
}

// Each case in a home folder of its own: a refused folder stays open until the process ends, so
// a link of the same name could not be made again.
TEST_F(NativeLock, LinksAtTheFolderOrTheLockFileAreRefused) {
    const fs::path base = home;
    const fs::path elsewhere = base / "elsewhere";
    fs::create_directory(elsewhere);
    std::ofstream(elsewhere / "target").close();
    const std::string notPrivate =
        "{\"error\":\"Session lock folder is not private.\",\"ok\":false}";
    const std::string cannotLock = "{\"error\":\"Cannot lock saved sign-in.\",\"ok\":false}";
    for (const std::string kind : {"/J", "/D"}) {
        home = base / ("folder" + kind.substr(1));
        fs::create_directory(home);
        link(kind, lockFolder(), elsewhere);
        EXPECT_EQ(lockAnswer(), notPrivate) << kind;
    }
    home = base / "file";
    fs::create_directory(home);
    ASSERT_EQ(lockAnswer(), ""); // the tool makes a real, private folder
    fs::remove(lockFolder() / "AEFT.lock");
    link("", lockFolder() / "AEFT.lock", elsewhere / "target");
    EXPECT_EQ(lockAnswer(), cannotLock);
    home = base; // removed by TearDown
}

} // namespace

std::string homeFolder() {
    return home.string();
}

void finishProcess(std::string_view output) {
    throw Answered{std::string(output)};
}

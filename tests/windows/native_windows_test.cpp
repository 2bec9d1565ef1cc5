// What only real Windows can show, run by the Windows workflow: Wine makes DACLs up from Unix
// modes and cannot make junctions. A folder that grants Everyone, and a junction or symbolic
// link at the folder or at the lock file, are refused.
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

TEST_F(NativeLock, TheFolderIsProtectedAndRefusedOnceItGrantsEveryone) {
    ASSERT_EQ(lockAnswer(), "");
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(GetNamedSecurityInfoW(lockFolder().wstring().c_str(), SE_FILE_OBJECT,
                                    DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                                    &descriptor),
              static_cast<DWORD>(ERROR_SUCCESS));
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(descriptor, &control, &revision);
    EXPECT_NE(control & SE_DACL_PROTECTED, 0) << "inherits from the parent";
    EXPECT_EQ(dacl->AceCount, 3U);
    LocalFree(descriptor);

    const std::string grant = "icacls \"" + lockFolder().string() + "\" /grant *S-1-1-0:(R) >NUL";
    ASSERT_EQ(std::system(grant.c_str()), 0);
    EXPECT_EQ(lockAnswer(), "{\"error\":\"Session lock folder is not private.\",\"ok\":false}");
}

TEST_F(NativeLock, LinksAtTheFolderOrTheLockFileAreRefused) {
    const fs::path elsewhere = home / "elsewhere";
    fs::create_directory(elsewhere);
    link("/J", lockFolder(), elsewhere);
    EXPECT_EQ(lockAnswer(), "{\"error\":\"Session lock folder is not private.\",\"ok\":false}");
    fs::remove(lockFolder());
    link("/D", lockFolder(), elsewhere);
    EXPECT_EQ(lockAnswer(), "{\"error\":\"Session lock folder is not private.\",\"ok\":false}");
    fs::remove(lockFolder());

    ASSERT_EQ(lockAnswer(), ""); // a real folder now
    fs::remove(lockFolder() / "AEFT.lock");
    std::ofstream(elsewhere / "target").close();
    link("", lockFolder() / "AEFT.lock", elsewhere / "target");
    EXPECT_EQ(lockAnswer(), "{\"error\":\"Cannot lock saved sign-in.\",\"ok\":false}");
}

} // namespace

std::string homeFolder() {
    return home.string();
}

void finishProcess(std::string_view output) {
    throw Answered{std::string(output)};
}

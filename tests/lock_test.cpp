// The private lock folder and the per-host lock file, through the built binary, with the
// home folder that scripts/private-session mounted.
#include "envelope_check.h"

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

const std::string readAeft = R"({"host":"AEFT","op":"read"})";
const std::string readPpro = R"({"host":"PPRO","op":"read"})";
const std::string notPrivate = "Session lock folder is not private.";
const std::string cannotLock = "Cannot lock saved sign-in.";
constexpr uid_t otherUser = 65534;

mode_t modeOf(const fs::path& path) {
    struct stat status {};
    EXPECT_EQ(lstat(path.c_str(), &status), 0) << path;
    return status.st_mode & 07777;
}

class LockFolder : public ::testing::Test {
  protected:
    void SetUp() override {
        home = privateHome();
        fs::remove_all(home / "Library");
        umask(022); // a common umask; folders must still end up 0700
    }
    fs::path folder() const { return home / "Library/Application Support/Sandrel Adobe Auth"; }
    void makeFolder(mode_t mode) const {
        fs::create_directories(folder());
        chmod(folder().c_str(), mode);
    }
    fs::path home;
};

TEST_F(LockFolder, TheFirstRunCreatesPrivateFoldersAndAnEmptyLockFile) {
    EXPECT_EQ(responseOf(runTool(readAeft)).at("ok"), true);
    for (const fs::path& created :
         {home / "Library", home / "Library/Application Support", folder()}) {
        EXPECT_EQ(modeOf(created), 0700U) << created;
    }
    EXPECT_EQ(modeOf(folder() / "AEFT.lock"), 0600U);
    EXPECT_EQ(fs::file_size(folder() / "AEFT.lock"), 0U);
    EXPECT_FALSE(fs::exists(folder() / "PPRO.lock"));
}

TEST_F(LockFolder, AUmaskThatStripsOwnerBitsStillGivesExactly0700And0600) {
    umask(0277);
    const ToolRun run = runTool(readAeft);
    umask(022);
    EXPECT_EQ(responseOf(run).at("ok"), true);
    for (const fs::path& created :
         {home / "Library", home / "Library/Application Support", folder()}) {
        EXPECT_EQ(modeOf(created), 0700U) << created;
    }
    EXPECT_EQ(modeOf(folder() / "AEFT.lock"), 0600U);
}

TEST_F(LockFolder, AFolderOthersCanReachIsRefusedAndLeftAsItIs) {
    // Any bit for the group counts, as any for others.
    for (const mode_t mode : {0755, 0750, 0770}) {
        makeFolder(mode);
        for (int run = 0; run < 2; ++run) {
            EXPECT_EQ(errorOf(runTool(readAeft)), notPrivate) << std::oct << mode;
        }
        EXPECT_EQ(modeOf(folder()), mode);
        EXPECT_FALSE(fs::exists(folder() / "AEFT.lock"));
    }

    chmod(folder().c_str(), 0700);
    chown(folder().c_str(), otherUser, otherUser);
    EXPECT_EQ(errorOf(runTool(readAeft)), notPrivate);
}

TEST_F(LockFolder, ALinkInTheFolderPlaceIsRefusedEvenToAPrivateFolder) {
    fs::create_directories(home / "elsewhere");
    chmod((home / "elsewhere").c_str(), 0700);
    fs::create_directories(folder().parent_path());
    fs::create_directory_symlink(home / "elsewhere", folder());
    EXPECT_EQ(errorOf(runTool(readAeft)), notPrivate);
}

TEST_F(LockFolder, AFileInTheFolderPlaceIsTheCatchAll) {
    fs::create_directories(folder().parent_path());
    std::ofstream(folder()) << "not a folder";
    EXPECT_EQ(errorOf(runTool(readAeft)), catchAllMessage);
}

TEST_F(LockFolder, ALockFileOthersCanReachIsRefusedAndKeepsItsMode) {
    makeFolder(0700);
    std::ofstream(folder() / "AEFT.lock").close();
    for (const mode_t mode : {0644, 0640}) {
        chmod((folder() / "AEFT.lock").c_str(), mode);
        EXPECT_EQ(errorOf(runTool(readAeft)), cannotLock) << std::oct << mode;
        EXPECT_EQ(modeOf(folder() / "AEFT.lock"), mode);
    }

    chmod((folder() / "AEFT.lock").c_str(), 0600);
    chown((folder() / "AEFT.lock").c_str(), otherUser, otherUser);
    EXPECT_EQ(errorOf(runTool(readAeft)), cannotLock);
}

TEST_F(LockFolder, SomethingElseNamedLikeTheLockFileAffectsOnlyItsHost) {
    makeFolder(0700);
    std::ofstream(home / "target").close();
    chmod((home / "target").c_str(), 0600);
    fs::create_symlink(home / "target", folder() / "AEFT.lock");
    EXPECT_EQ(errorOf(runTool(readAeft)), cannotLock);
    EXPECT_EQ(responseOf(runTool(readPpro)).at("ok"), true);

    fs::remove(folder() / "AEFT.lock");
    fs::create_directory(folder() / "AEFT.lock");
    EXPECT_EQ(errorOf(runTool(readAeft)), cannotLock);

    fs::remove(folder() / "AEFT.lock");
    ASSERT_EQ(mkfifo((folder() / "AEFT.lock").c_str(), 0600), 0);
    EXPECT_EQ(errorOf(runTool(readAeft)), cannotLock);
}

TEST_F(LockFolder, ALockFileWithContentKeepsIt) {
    makeFolder(0700);
    std::ofstream(folder() / "AEFT.lock") << "left by something else";
    chmod((folder() / "AEFT.lock").c_str(), 0600);
    EXPECT_EQ(responseOf(runTool(readAeft)).at("ok"), true);
    std::ifstream in(folder() / "AEFT.lock");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "left by something else");
}

TEST_F(LockFolder, AToolStartedWithoutStandardOutputNeverWritesTheLockFile) {
    RunOptions closed;
    closed.noOutputStream = true;
    const ToolRun run = runTool(
        R"({"host":"AEFT","op":"write","expectedRevision":null,"session":{"t":1}})", closed);
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(fs::file_size(folder() / "AEFT.lock"), 0U);
    EXPECT_EQ(responseOf(runTool(readAeft)).at("record").at("session"), nlohmann::json({{"t", 1}}));
}

TEST_F(LockFolder, AHeldLockMakesItsHostWaitAndOnlyItsHost) {
    ASSERT_EQ(responseOf(runTool(readAeft)).at("ok"), true); // creates the folder and file
    const int held = open((folder() / "AEFT.lock").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX), 0);

    StartedTool waiting = startTool(readAeft);
    // Another host goes on meanwhile.
    EXPECT_EQ(responseOf(runTool(readPpro)).at("ok"), true);
    EXPECT_FALSE(answeredWithin(waiting, std::chrono::milliseconds(500)));

    close(held);
    EXPECT_EQ(responseOf(finishTool(waiting)).at("ok"), true);
}

} // namespace

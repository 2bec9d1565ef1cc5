// The Windows item store and lock, run under Wine here and natively on a Windows runner: every
// status of the five calls, a blob that no longer decodes, an interrupted replace, and a lock
// that makes a second process wait.
#include "keychain_calls.h"
#include "lock/session_lock.h"
#include "platform/files.h"
#include "platform/keychain.h"
#include "platform/process.h"
#include "store/items.h"

#include <filesystem>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <random>
#include <windows.h>

namespace fs = std::filesystem;

namespace {

std::string home; // the folder the tool's folder goes in: a fresh temp folder per test process

fs::path itemsFolder() {
    return fs::path(home) / "Sandrel Adobe Auth" / "Items";
}

std::string contentsOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

TEST(WindowsStore, AnswersEveryStatusOfTheFiveCalls) {
    const std::string service = "test.statuses";
    const std::string bytes("{\"a\":\"\0\xC3\xA9\"}", 11);
    EXPECT_EQ(copy(service, "AEFT").status, keychain::itemNotFound);
    EXPECT_EQ(keychainUpdate(lookupQuery(service, "AEFT"), updateAttributes("x")),
              keychain::itemNotFound);
    EXPECT_EQ(keychainDelete(lookupQuery(service, "AEFT")), keychain::itemNotFound);

    ASSERT_EQ(keychainAdd(creation(service, "AEFT", bytes, "Label of AEFT")), keychain::success);
    EXPECT_EQ(keychainAdd(creation(service, "AEFT", "other", "Label of AEFT")),
              keychain::duplicateItem);
    EXPECT_EQ(copy(service, "AEFT").data, bytes);
    // Names differ for pairs that differ only in letter case or in where a dot falls.
    EXPECT_EQ(copy(service, "aeft").status, keychain::itemNotFound);
    EXPECT_EQ(copy("test", "statuses.AEFT").status, keychain::itemNotFound);

    ASSERT_EQ(keychainUpdate(lookupQuery(service, "AEFT"), updateAttributes("updated")),
              keychain::success);
    EXPECT_EQ(copy(service, "AEFT").data, "updated");
    const auto file = itemsFolder() / "test.statuses+%41%45%46%54.item";
    EXPECT_NE(contentsOf(file).find("Label of AEFT"), std::string::npos) << "label kept";
    EXPECT_EQ(contentsOf(file).find("updated"), std::string::npos) << "data in plain form";

    EXPECT_EQ(keychainDelete(lookupQuery(service, "AEFT")), keychain::success);
    EXPECT_EQ(copy(service, "AEFT").status, keychain::itemNotFound);
}

TEST(WindowsStore, ABlobThatNoLongerDecodesIsLostForGood) {
    ASSERT_EQ(keychainAdd(creation("test.blob", "AEFT", "secret", "x")), keychain::success);
    ASSERT_EQ(keychainAdd(creation("test.blob", "PPRO", "secret", "x")), keychain::success);
    const auto aeft = itemsFolder() / "test.blob+%41%45%46%54.item";
    const auto ppro = itemsFolder() / "test.blob+%50%50%52%4F.item";
    // Moved to another item's name: the entropy names the item, so it does not decode.
    std::ofstream(ppro, std::ios::binary | std::ios::trunc) << contentsOf(aeft);
    EXPECT_EQ(copy("test.blob", "PPRO").status, keychain::authFailed);
    // One byte of the blob changed.
    std::string tampered = contentsOf(aeft);
    tampered.back() = static_cast<char>(tampered.back() ^ 0x01);
    std::ofstream(aeft, std::ios::binary | std::ios::trunc) << tampered;
    EXPECT_EQ(copy("test.blob", "AEFT").status, keychain::authFailed);
    std::ofstream(aeft, std::ios::binary | std::ios::trunc) << "not an item";
    EXPECT_EQ(copy("test.blob", "AEFT").status, keychain::authFailed);
}

TEST(WindowsStore, AnInterruptedReplaceLeavesAWholeItem) {
    ASSERT_EQ(keychainAdd(creation("test.replace", "AEFT", "old", "x")), keychain::success);
    // A write killed before its move leaves a temporary file beside the item.
    const auto item = itemsFolder() / "test.replace+%41%45%46%54.item";
    std::ofstream(item.string() + ".new", std::ios::binary) << "torn";
    EXPECT_EQ(copy("test.replace", "AEFT").data, "old");
    EXPECT_EQ(keychainUpdate(lookupQuery("test.replace", "AEFT"), updateAttributes("new")),
              keychain::success);
    EXPECT_EQ(copy("test.replace", "AEFT").data, "new");
    EXPECT_FALSE(fs::exists(item.string() + ".new"));
}

TEST(WindowsLock, ASecondProcessWaitsForTheHolder) {
    // The holder is this program again: it takes the lock, says so with a file, and holds the
    // lock until its standard input closes.
    wchar_t self[MAX_PATH];
    ASSERT_GT(GetModuleFileNameW(nullptr, self, MAX_PATH), 0U);
    const std::wstring command = L"\"\"" + std::wstring(self) + L"\" --hold-lock \"" +
                                 fs::path(home).wstring() + L"\"\""; // cmd /c strips the outer pair
    FILE* holder = _wpopen(command.c_str(), L"w");
    ASSERT_NE(holder, nullptr);
    for (int waited = 0; waited < 200 && !fs::exists(fs::path(home) / "held"); ++waited) {
        Sleep(50);
    }
    ASSERT_TRUE(fs::exists(fs::path(home) / "held"));

    auto waiter =
        std::async(std::launch::async, [] { releaseSessionLock(acquireSessionLock("AEFT")); });
    EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(500)), std::future_status::timeout);
    releaseSessionLock(acquireSessionLock("PPRO")); // another host's lock is free meanwhile
    _pclose(holder);                                // the holder exits, and with it its lock
    EXPECT_EQ(waiter.wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

} // namespace

// The process pieces the lock needs: a failure would end a real run, here it fails the test.
std::string homeFolder() {
    return home;
}

void finishProcess(std::string_view output) {
    ADD_FAILURE() << "the tool answered " << output;
    ExitThread(1);
}

int main(int argc, char** argv) {
    if (argc == 3 && std::string_view(argv[1]) == "--hold-lock") {
        home = argv[2];
        static_cast<void>(acquireSessionLock("AEFT"));
        std::ofstream(fs::path(home) / "held").close();
        while (std::fgetc(stdin) != EOF) {
        }
        return 0;
    }
    home = (fs::temp_directory_path() /
            ("sandrel-store-test." + std::to_string(std::random_device()())))
               .string();
    fs::create_directory(home);
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    std::error_code ignored;
    fs::remove_all(home, ignored);
    return result;
}

// The Windows item store and lock, run under Wine here and natively on a Windows runner: every
// status of the five calls, a blob that no longer decodes and the DPAPI errors that say so, a
// file of another format kept, an item held open by another, an interrupted replace, a held
// folder that cannot be renamed, and a lock that makes a second process wait.
#include "keychain_calls.h"
#include "lock/session_lock.h"
#include "platform/dpapi_status_windows.h"
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
}

TEST(WindowsStore, OnlyDataErrorsOfDPAPIAreLasting) {
    struct Case {
        DWORD error;
        KeychainStatus status;
    };
    for (const Case& c : {Case{ERROR_INVALID_DATA, keychain::authFailed},
                          Case{static_cast<DWORD>(NTE_BAD_DATA), keychain::authFailed},
                          Case{static_cast<DWORD>(NTE_BAD_KEY_STATE), keychain::authFailed},
                          Case{ERROR_NOT_ENOUGH_MEMORY, keychain::notAvailable},
                          Case{static_cast<DWORD>(NTE_NO_MEMORY), keychain::notAvailable},
                          Case{RPC_S_SERVER_UNAVAILABLE, keychain::notAvailable},
                          Case{ERROR_FILE_NOT_FOUND, keychain::notAvailable}}) {
        EXPECT_EQ(statusOfUnprotectFailure(c.error), c.status) << std::hex << c.error;
    }
}

// A newer release's item, or a stray file, is an item without a record: reported, never dropped.
TEST(WindowsStore, AFileThatIsNotAVersion1ItemIsKept) {
    ASSERT_EQ(keychainAdd(creation("test.format", "AEFT", "secret", "x")), keychain::success);
    const auto file = itemsFolder() / "test.format+%41%45%46%54.item";
    std::string newer = contentsOf(file);
    newer[8] = 2; // the version, after the 8-byte magic
    for (const std::string& contents :
         {newer, std::string("not an item"), std::string((1U << 20U) + 1, 'x')}) {
        std::ofstream(file, std::ios::binary | std::ios::trunc) << contents;
        const Read read = copy("test.format", "AEFT");
        EXPECT_EQ(read.status, keychain::success);
        EXPECT_FALSE(read.data.has_value());
        EXPECT_NE(keychainUpdate(lookupQuery("test.format", "AEFT"), updateAttributes("y")),
                  keychain::success);
        EXPECT_EQ(contentsOf(file), contents);
    }
}

// Antivirus, backup and indexers hold files open for moments: a write waits them out, and a read
// past the wait is unavailable, never "no item".
TEST(WindowsStore, AnItemHeldOpenByAnotherIsWaitedForThenUnavailable) {
    ASSERT_EQ(keychainAdd(creation("test.held", "AEFT", "old", "x")), keychain::success);
    const auto file = (itemsFolder() / "test.held+%41%45%46%54.item").wstring();
    const auto holdFor = [&](DWORD milliseconds) {
        HANDLE held = CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_NE(held, INVALID_HANDLE_VALUE);
        return std::async(std::launch::async, [held, milliseconds] {
            Sleep(milliseconds);
            CloseHandle(held);
        });
    };
    auto briefly = holdFor(300);
    EXPECT_EQ(keychainUpdate(lookupQuery("test.held", "AEFT"), updateAttributes("new")),
              keychain::success);
    briefly.wait();
    EXPECT_EQ(copy("test.held", "AEFT").data, "new");
    auto longer = holdFor(3000);
    EXPECT_EQ(copy("test.held", "AEFT").status, keychain::notAvailable);
    longer.wait();
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

TEST(WindowsLock, TheHeldFolderCannotBeRenamed) {
    const LockHandle lock = acquireSessionLock("AEFT");
    const auto folder = (fs::path(home) / "Sandrel Adobe Auth").wstring();
    EXPECT_EQ(MoveFileW(folder.c_str(), (folder + L" moved").c_str()), FALSE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    releaseSessionLock(lock);
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

// The add-on's starting logic against the real tool, as Premiere's add-on runs it: a read, a
// write and a conflict; a time-out while another holds the host's lock; a missing binary; a
// tool that exits without reading its input or says too much. On Linux in a private world, and
// the Windows build under Wine against the .exe.
#include "ask_tool.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#if defined(_WIN32)
#include <windows.h>
#else
#include "run_tool.h"
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace {

using nlohmann::json;
namespace fs = std::filesystem;

const std::atomic<bool> going{false};
constexpr std::chrono::seconds patience{30};

ToolAnswer ask(const json& request, std::chrono::milliseconds timeout = patience) {
    return askTool(SANDREL_BINARY, request.dump(), timeout, going);
}

json answerOf(const ToolAnswer& answer) {
    EXPECT_EQ(answer.outcome, Outcome::answered);
    return json::parse(answer.output, nullptr, false);
}

// Holds the host's lock, as another panel's tool would, while it lives.
class LockHolder {
  public:
    explicit LockHolder(const std::string& host) {
        static_cast<void>(answerOf(ask({{"host", host}, {"op", "read"}}))); // makes the file
#if defined(_WIN32)
        const fs::path file =
            fs::path(std::getenv("LOCALAPPDATA")) / "Sandrel Adobe Auth" / (host + ".lock");
        handle =
            CreateFileW(file.wstring().c_str(), GENERIC_READ | GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        OVERLAPPED whole{};
        EXPECT_NE(LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &whole), FALSE);
#else
        const fs::path file = fs::path(privateHome()) /
                              "Library/Application Support/Sandrel Adobe Auth" / (host + ".lock");
        fd = open(file.c_str(), O_RDWR | O_CLOEXEC);
        EXPECT_EQ(flock(fd, LOCK_EX), 0);
#endif
    }
    ~LockHolder() {
#if defined(_WIN32)
        CloseHandle(handle);
#else
        close(fd);
#endif
    }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;

  private:
#if defined(_WIN32)
    HANDLE handle = INVALID_HANDLE_VALUE;
#else
    int fd = -1;
#endif
};

TEST(AskTool, ReadsWritesAndIsToldOfAConflict) {
    const json current = answerOf(ask({{"host", "PPRO"}, {"op", "read"}})).at("record");
    const json expected = current.is_object() ? current.at("revision") : json();
    const json written = answerOf(ask({{"host", "PPRO"},
                                       {"op", "write"},
                                       {"expectedRevision", expected},
                                       {"session", {{"t", 1}}}}));
    ASSERT_EQ(written.value("ok", false), true) << written;
    EXPECT_EQ(answerOf(ask({{"host", "PPRO"}, {"op", "read"}})).at("record"), written.at("record"));
    const json stale = answerOf(
        ask({{"host", "PPRO"}, {"op", "write"}, {"expectedRevision", expected}, {"session", {}}}));
    EXPECT_EQ(stale.value("error", ""), "Sign-in changed in another panel. Reopen Sandrel.");
}

TEST(AskTool, ATimeOutKillsAToolWaitingOnTheLock) {
    const LockHolder otherPanel("AEFT");
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(ask({{"host", "AEFT"}, {"op", "read"}}, std::chrono::milliseconds(500)).outcome,
              Outcome::timedOut);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
}

TEST(AskTool, AToolThatCannotStartOrDoesNotAnswerIsToldApart) {
    EXPECT_EQ(askTool(SANDREL_BINARY ".missing", "{}", patience, going).outcome,
              Outcome::notStarted);
    // Exits without reading a request larger than a pipe holds: no SIGPIPE reaches this process.
    EXPECT_EQ(askTool(EXITS_AT_ONCE, std::string(1 << 20, ' '), patience, going).outcome,
              Outcome::noAnswer);
    EXPECT_EQ(askTool(SAYS_TOO_MUCH, "{}", patience, going).outcome, Outcome::noAnswer);
}

} // namespace

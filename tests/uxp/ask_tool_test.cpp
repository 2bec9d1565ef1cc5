// The add-on's starting logic against the real tool, as Premiere's add-on runs it: a read, a
// write and a conflict; a time-out, and a stop, while another holds the host's lock; a missing
// binary; tools that exit without reading their input, say too much, or leave a child holding
// their pipes. On Linux in a private world, and the Windows build under Wine against the .exe.
#include "ask_tool.h"
#include "in_flight.h"
#include "lock/session_lock.h"
#include "nothing_left.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <thread>
#if defined(_WIN32)
#include <windows.h>
#else
#include <poll.h>
#include <unistd.h>
#endif

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

const std::atomic<bool> going{false};
constexpr std::chrono::seconds patience{30};

ToolAnswer ask(const json& request, std::chrono::milliseconds timeout = patience) {
    return askTool(SANDREL_BINARY, request.dump(), timeout, going);
}

// A stand-in tool leaves a mark as it starts: its outcome is its own, not a failure to start.
ToolAnswer askHelper(const std::string& helper, const std::string& request) {
    const std::string mark = helper + ".started";
    std::filesystem::remove(mark);
    ToolAnswer answer = askTool(helper, request, patience, going);
    EXPECT_TRUE(std::filesystem::exists(mark)) << helper << " did not start";
    return answer;
}

using AskTool = NothingLeft;

json answerOf(const ToolAnswer& answer) {
    EXPECT_EQ(answer.outcome, Outcome::answered);
    return json::parse(answer.output, nullptr, false);
}

// A pipe of the host's own that a child could inherit, as a host's pipes to its helpers are.
struct HostPipe {
#if defined(_WIN32)
    HANDLE ends[2] = {nullptr, nullptr};
    HostPipe() {
        SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        EXPECT_NE(CreatePipe(&ends[0], &ends[1], &inheritable, 0), FALSE);
    }
    void closeWriteEnd() {
        CloseHandle(ends[1]);
    }
    // Whether every writer has gone within the time.
    bool endsWithin(std::chrono::milliseconds wait) {
        const auto giveUp = Clock::now() + wait;
        DWORD waiting = 0;
        while (PeekNamedPipe(ends[0], nullptr, 0, nullptr, &waiting, nullptr) != FALSE) {
            if (Clock::now() >= giveUp) {
                return false;
            }
            Sleep(10);
        }
        return true;
    }
    ~HostPipe() {
        CloseHandle(ends[0]);
    }
#else
    int ends[2] = {-1, -1};
    HostPipe() {
        EXPECT_EQ(pipe(ends), 0);
    }
    void closeWriteEnd() {
        close(ends[1]);
    }
    bool endsWithin(std::chrono::milliseconds wait) {
        pollfd end{ends[0], POLLIN, 0};
        char byte = 0;
        return poll(&end, 1, static_cast<int>(wait.count())) == 1 && read(ends[0], &byte, 1) == 0;
    }
    ~HostPipe() {
        close(ends[0]);
    }
#endif
    HostPipe(const HostPipe&) = delete;
    HostPipe& operator=(const HostPipe&) = delete;
};

TEST_F(AskTool, ReadsWritesAndIsToldOfAConflict) {
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

TEST_F(AskTool, ATimeOutOrAStopKillsAToolWaitingOnTheLock) {
    const LockHandle otherPanel = acquireSessionLock("AEFT"); // as another panel's tool holds it
    const json read = {{"host", "AEFT"}, {"op", "read"}};
    auto started = Clock::now();
    EXPECT_EQ(ask(read, std::chrono::milliseconds(500)).outcome, Outcome::timedOut);
    EXPECT_LT(Clock::now() - started, std::chrono::seconds(10));

    // Unloading: the stop ends the wait at once, long before the time-out, and nothing is
    // handed over after it has begun. A request that has finished is joined by the next one.
    Requests requests;
    std::atomic<int> settled{0};
    const auto count = [&settled](const ToolAnswer&) { ++settled; };
    ASSERT_TRUE(startRequest(requests, SANDREL_BINARY ".missing", "{}", patience, count));
    while (!requests.running.front().finished->load()) {
        std::this_thread::yield();
    }
    ASSERT_TRUE(
        startRequest(requests, SANDREL_BINARY, read.dump(), std::chrono::seconds(5), count));
    EXPECT_EQ(requests.running.size(), 1U) << "a finished thread was kept";
    started = Clock::now();
    stopAllRequests(requests);
    EXPECT_LT(Clock::now() - started, std::chrono::seconds(2));
    EXPECT_FALSE(startRequest(requests, SANDREL_BINARY, read.dump(), patience, count));
    EXPECT_EQ(settled.load(), 1);
    releaseSessionLock(otherPanel);
}

TEST_F(AskTool, AToolThatCannotStartOrDoesNotAnswerIsToldApart) {
    EXPECT_EQ(askTool(SANDREL_BINARY ".missing", "{}", patience, going).outcome,
              Outcome::notStarted);
    // Closes its input at once and lives on a moment, so a request larger than a pipe holds is
    // still being written: no SIGPIPE reaches this process.
    EXPECT_EQ(askHelper(CLOSES_ITS_INPUT, std::string(1 << 20, ' ')).outcome, Outcome::noAnswer);
    EXPECT_EQ(askHelper(SAYS_TOO_MUCH, "{}").outcome, Outcome::noAnswer);
#if !defined(_WIN32)
    // A whole answer does not count once the tool was killed: it may not be the last word.
    EXPECT_EQ(askHelper(KILLED_AFTER_ANSWERING, "{}").outcome, Outcome::noAnswer);
#endif
}

// The host starts other processes at any moment, and one may hold a copy of a pipe end: the
// answer is complete once the tool has exited, though its child still holds its output. And
// nothing of the host reaches the tool: the host's own pipe ends once the host closes it.
TEST_F(AskTool, TheAnswerIsWholeOnceTheToolHasExitedAndTheToolHadNothingOfTheHost) {
    HostPipe host;
    const auto started = Clock::now();
    const ToolAnswer answer = askHelper(LEAVES_A_CHILD, std::string(1 << 20, ' '));
    EXPECT_LT(Clock::now() - started, std::chrono::seconds(2)); // the child lingers 10 s
    EXPECT_EQ(answer.outcome, Outcome::answered);
    EXPECT_EQ(answer.output, R"({"ok":true,"record":null})");
    host.closeWriteEnd();
    EXPECT_TRUE(host.endsWithin(std::chrono::seconds(1))) << "the tool inherited a host pipe";
    std::filesystem::remove(LEAVES_A_CHILD ".started"); // the child's sign to go
}

} // namespace

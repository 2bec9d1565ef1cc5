// The add-on's starting logic against the real tool, as Premiere's add-on runs it: a read, a
// write and a conflict; a time-out while another holds the host's lock; a missing binary; a
// tool that exits without reading its input or says too much. On Linux in a private world, and
// the Windows build under Wine against the .exe.
#include "ask_tool.h"
#include "lock/session_lock.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {

using nlohmann::json;

const std::atomic<bool> going{false};
constexpr std::chrono::seconds patience{30};

ToolAnswer ask(const json& request, std::chrono::milliseconds timeout = patience) {
    return askTool(SANDREL_BINARY, request.dump(), timeout, going);
}

json answerOf(const ToolAnswer& answer) {
    EXPECT_EQ(answer.outcome, Outcome::answered);
    return json::parse(answer.output, nullptr, false);
}

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
    const LockHandle otherPanel = acquireSessionLock("AEFT"); // as another panel's tool holds it
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(ask({{"host", "AEFT"}, {"op", "read"}}, std::chrono::milliseconds(500)).outcome,
              Outcome::timedOut);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    releaseSessionLock(otherPanel);
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

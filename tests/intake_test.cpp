// Request intake and the response envelope, through the built binary.
#include "envelope_check.h"

#include <gtest/gtest.h>

namespace {

const std::string readRequest = R"({"host":"AEFT","op":"read"})";

std::string paddedTo(std::size_t size) {
    return readRequest + std::string(size - readRequest.size(), ' ');
}

TEST(Intake, TheLimitIs32768BytesWhiteSpaceIncluded) {
    EXPECT_EQ(responseOf(runTool(paddedTo(32768))).at("ok"), true);
    EXPECT_EQ(errorOf(runTool(paddedTo(32769))), invalidMessage);
}

TEST(Intake, AWriterThatNeverStopsIsAnsweredWithoutBeingReadToTheEnd) {
    RunOptions options;
    options.keepWriting = true;
    const ToolRun run = runTool(readRequest, options);
    EXPECT_EQ(errorOf(run), invalidMessage);
    EXPECT_LT(run.bytesWritten, 10U * 1024U * 1024U);
}

TEST(Intake, RefusedRequestsGetTheirMessages) {
    struct Case {
        std::string input;
        std::string message;
    };
    const std::vector<Case> cases{
        {"", catchAllMessage},
        {"   \n", catchAllMessage},
        {R"("AEFT")", catchAllMessage},
        {"42", catchAllMessage},
        {"null", catchAllMessage},
        {R"({"host":"AEFT","op":"read",})", catchAllMessage},
        {R"({"host":"AEFT","op":"read")", catchAllMessage},
        {readRequest + " x", catchAllMessage},
        {readRequest + std::string("\0garbage", 8), catchAllMessage},
        {"{\"host\":\"AEFT\",\"op\":\"read\",\"x\":\"\xC3\x28\"}", catchAllMessage},
        {R"({"host":"AEFT","op":"read","x":"\ud800"})", catchAllMessage},
        {"[]", invalidMessage},
        {"[" + readRequest + "]", invalidMessage},
        {"{}", invalidMessage},
        {R"({"host":"ppro","op":"read"})", invalidMessage},
        {R"({"host":"PPRO ","op":"read"})", invalidMessage},
        {R"({"host":1,"op":"read"})", invalidMessage},
        {R"({"op":"read"})", invalidMessage},
        {R"({"host":"AEFT","op":"Read"})", invalidMessage},
        {R"({"host":"AEFT","op":"delete"})", invalidMessage},
        {R"({"host":"AEFT"})", invalidMessage},
        {R"({"host":"nope","op":"nope"})", invalidMessage},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(errorOf(runTool(c.input)), c.message) << c.input;
    }
}

TEST(Intake, AcceptsRequestsHoweverTheyArrive) {
    // Unknown members are ignored, and a read needs neither revision nor session.
    const std::string withExtras =
        R"({"x":[1,2],"host":"PPRO","expectedRevision":5,"op":"read","session":"s"})";
    EXPECT_EQ(responseOf(runTool(withExtras)).at("ok"), true);

    RunOptions trickle;
    trickle.pieceBytes = 3;
    trickle.pause = std::chrono::milliseconds(2);
    EXPECT_EQ(responseOf(runTool(readRequest, trickle)).at("ok"), true);
    RunOptions emptyFirst;
    emptyFirst.emptyWriteFirst = true;
    EXPECT_EQ(responseOf(runTool(readRequest, emptyFirst)).at("ok"), true);

    // One piece larger than a read chunk is assembled in order.
    const std::string large =
        R"({"pad":")" + std::string(9000, 'p') + R"(","host":"AEFT","op":"read"})";
    EXPECT_EQ(responseOf(runTool(large)).at("ok"), true);
}

TEST(Envelope, APanelThatHasGoneAwayDoesNotCrashTheTool) {
    RunOptions gone;
    gone.panelGone = true;
    const ToolRun run = runTool(readRequest, gone);
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.errors, "");
}

TEST(Envelope, ANestedSessionRoundTripsCompactly) {
    // The envelope checks in responseOf cover every path above; here a write round trip with
    // a nested session checks a success with content.
    const nlohmann::json session = {{"nested", {{"list", {1, "two", nullptr, {{"k", true}}}}}},
                                    {"text", "tab\there \"quoted\" / \xE2\x82\xAC"}};
    const nlohmann::json request = {
        {"host", "PPRO"}, {"op", "write"}, {"expectedRevision", nullptr}, {"session", session}};
    const auto written = responseOf(runTool(request.dump()));
    ASSERT_EQ(written.at("ok"), true);
    EXPECT_EQ(written.at("record").at("session"), session);
    const auto read = responseOf(runTool(R"({"host":"PPRO","op":"read"})"));
    EXPECT_EQ(read.at("record"), written.at("record"));
}

} // namespace

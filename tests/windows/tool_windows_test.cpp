// The Windows tool, run as a panel runs it: from Linux through Wine, and as a Windows program
// (natively, and under Wine here). Beside the intake and envelope tests (intake_test.cpp, built
// in here as well, the size limit included), the whole job answers as it does on Linux, and no
// session text is left in plain form in the tool's folder (from Linux: anywhere in the Wine
// prefix). The limit of a saved record is the in-process suite's, which runs there too.
#include "requests.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

#if defined(_WIN32)
// Run on Windows (or inside Wine): the tool's folder is the user's, and it is what is scanned.
std::vector<fs::path> toolFolders() {
    return {fs::path(std::getenv("LOCALAPPDATA")) / "Sandrel Adobe Auth"};
}

fs::path scannedForPlainText() {
    return toolFolders().front();
}
#else
// Run on Linux, the tool through Wine: its folder in every profile of the prefix, and the
// whole prefix scanned.
std::vector<fs::path> toolFolders() {
    std::vector<fs::path> folders;
    for (const auto& user :
         fs::directory_iterator(fs::path(std::getenv("WINEPREFIX")) / "drive_c/users")) {
        folders.push_back(user.path() / "AppData/Local/Sandrel Adobe Auth");
    }
    return folders;
}

fs::path scannedForPlainText() {
    return std::getenv("WINEPREFIX");
}
#endif

TEST(WindowsTool, ReadWriteConflictAndSignOut) {
    EXPECT_TRUE(read("AEFT").at("record").is_null());
    const json first = write("AEFT", nullptr, {{"token", "t1"}});
    ASSERT_EQ(first.value("ok", false), true);
    EXPECT_EQ(read("AEFT").at("record"), first.at("record"));
    const json second = write("AEFT", first.at("record").at("revision"), {{"token", "t2"}});
    ASSERT_EQ(second.value("ok", false), true);
    EXPECT_EQ(write("AEFT", first.at("record").at("revision"), {{"token", "t3"}}).at("error"),
              conflictMessage);
    const json signedOut = write("AEFT", second.at("record").at("revision"), nullptr);
    EXPECT_TRUE(signedOut.at("record").at("session").is_null());
    EXPECT_EQ(read("AEFT").at("record"), signedOut.at("record"));
}

TEST(WindowsTool, OfManyWritesFromOneRevisionExactlyOneWins) {
    json start = read("AEFT").at("record");
    if (start.is_null()) {
        start = write("AEFT", nullptr, json::object()).at("record");
    }
    std::vector<StartedTool> tools;
    for (int i = 0; i < 16; ++i) {
        const json request = {{"host", "AEFT"},
                              {"op", "write"},
                              {"expectedRevision", start.at("revision")},
                              {"session", {{"value", i}}}};
        tools.push_back(startTool(request.dump()));
    }
    int winners = 0;
    for (StartedTool& tool : tools) {
        const json response = responseOf(finishTool(tool));
        winners += response.value("ok", false) ? 1 : 0;
        if (!response.value("ok", false)) {
            EXPECT_EQ(response.at("error"), conflictMessage);
        }
    }
    EXPECT_EQ(winners, 1);
}

TEST(WindowsTool, NoSessionTextIsLeftInPlainForm) {
    const std::string marker = "plain-session-marker-5b2d";
    const json current = read("AEFT").at("record");
    const json expected = current.is_object() ? current.at("revision") : json();
    ASSERT_EQ(write("AEFT", expected, {{"token", marker}}).value("ok", false), true);
    std::vector<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(scannedForPlainText())) {
        if (entry.is_regular_file() && !entry.is_symlink()) {
            // Read whole through the stream buffer: the prefix holds hundreds of megabytes.
            std::ifstream in(entry.path(), std::ios::binary);
            std::ostringstream contents;
            contents << in.rdbuf();
            if (contents.view().find(marker) != std::string::npos) {
                found.push_back(entry.path().string());
            }
        }
    }
    EXPECT_TRUE(found.empty()) << found.front();
}

} // namespace

int main(int argc, char** argv) {
    for (const fs::path& folder : toolFolders()) {
        fs::remove_all(folder);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

// Runs the built tool as a panel would: a child process with piped standard streams. One
// implementation per platform (run_tool_posix.cpp, run_tool_windows.cpp).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

struct ToolRun {
    std::string output;
    std::string errors;
    int exitStatus = -1; // the exit code, or -1 when the child did not exit normally
    std::size_t bytesWritten = 0;
};

struct RunOptions {
    std::size_t pieceBytes = 0;           // write the input in pieces of this size…
    std::chrono::milliseconds pause{0};   // …with this pause between them
    bool keepWriting = false;             // after the input, write until the pipe breaks
    bool emptyWriteFirst = false;         // a write of zero bytes before the input
    bool panelGone = false;               // nobody reads the answer
    bool noOutputStream = false;          // the tool starts with descriptor 1 closed
    std::vector<std::string> environment; // replaces the environment when not empty
};

ToolRun runTool(const std::string& input, const RunOptions& options = {});

// A started tool whose answer is collected later: a pid and descriptors on Linux, a process
// and pipe handles on Windows.
struct StartedTool {
    std::intptr_t process = -1;
    std::intptr_t output = -1;
    std::intptr_t errors = -1;
};

StartedTool startTool(const std::string& input);
// Whether the tool has finished writing within the time given.
bool answeredWithin(const StartedTool& tool, std::chrono::milliseconds wait);
ToolRun finishTool(StartedTool& tool);

// The home folder the tool sees (from the password database), checked to be the throw-away
// one that scripts/private-session mounted; aborts otherwise.
std::string privateHome();

// Runs the built tool as a panel would: a child process with piped standard streams.
#pragma once

#include <chrono>
#include <string>
#include <sys/types.h>
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
    bool panelGone = false;               // nobody reads the answer
    bool noOutputStream = false;          // the tool starts with descriptor 1 closed
    std::vector<std::string> environment; // replaces the environment when not empty
};

ToolRun runTool(const std::string& input, const RunOptions& options = {});

// A started tool whose answer is collected later.
struct StartedTool {
    pid_t pid = -1;
    int output = -1;
    int errors = -1;
};

StartedTool startTool(const std::string& input);
// Whether the tool has finished writing within the time given.
bool answeredWithin(const StartedTool& tool, std::chrono::milliseconds wait);
ToolRun finishTool(StartedTool& tool);

// The home folder the tool sees (from the password database), checked to be the throw-away
// one that scripts/private-session mounted; aborts otherwise.
std::string privateHome();

// Starting the sign-in tool from inside a host application: one request in, the whole answer
// out, every wait bounded. Portable; one implementation per platform (ask_tool_posix.cpp,
// ask_tool_windows.cpp). Runs on a thread of the add-on's own, never the host's.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <string>

enum class Outcome {
    answered,   // the tool's whole standard output is in `output`
    notStarted, // the binary is missing or cannot be started
    noAnswer,   // it ended without output, was killed by a signal, or said too much
    timedOut,   // it did not exit in time, or the requests were stopped, and it was killed
};

struct ToolAnswer {
    Outcome outcome = Outcome::noAnswer;
    std::string output;
};

// More than any answer of the tool; a larger one is refused without being read to its end.
inline constexpr std::size_t largestAnswerBytes = 64 * 1024;

// Starts the tool with pipes for standard input and output and standard error on the null
// device, inheriting nothing else; writes the request, closes standard input, and reads the
// output until its end or until the tool has exited, whichever comes first: a process the host
// started meanwhile may hold a copy of a pipe end, but all the tool wrote is in the pipe once it
// has exited. At the time-out, or once `stopping` is set, kills and reaps it.
ToolAnswer askTool(const std::string& binaryPath, const std::string& request,
                   std::chrono::milliseconds timeout, const std::atomic<bool>& stopping);

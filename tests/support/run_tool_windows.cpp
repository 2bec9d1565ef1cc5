#include "run_tool.h"

#include "platform/text_windows.h"
#include "spawn_windows.h"

#include <future>
#include <stdexcept>

namespace {

void check(bool ok, const char* what) {
    if (!ok) {
        throw std::runtime_error(what);
    }
}

HANDLE handleOf(std::intptr_t value) {
    return reinterpret_cast<HANDLE>(value); // NOLINT(performance-no-int-to-ptr)
}

std::intptr_t valueOf(HANDLE handle) {
    return reinterpret_cast<std::intptr_t>(handle);
}

std::size_t writeAll(HANDLE input, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        DWORD written = 0;
        if (WriteFile(input, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &written,
                      nullptr) == FALSE ||
            written == 0) {
            break; // the tool stopped reading and went away
        }
        done += written;
    }
    return done;
}

std::string readAll(HANDLE from) {
    std::string text;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(from, buffer, sizeof buffer, &got, nullptr) != FALSE && got > 0) {
        text.append(buffer, got);
    }
    return text;
}

struct Started {
    HANDLE process;
    HANDLE input;
    HANDLE output;
    HANDLE errors;
};

Started start() {
    Handle inputRead;
    Handle inputWrite;
    Handle outputRead;
    Handle outputWrite;
    Handle errorsRead;
    Handle errorsWrite;
    check(makePipe(inputRead, inputWrite) && makePipe(outputRead, outputWrite) &&
              makePipe(errorsRead, errorsWrite),
          "pipes");
    Handle process = spawnWithStandardHandles(widen(SANDREL_BINARY), inputRead.get(),
                                              outputWrite.get(), errorsWrite.get());
    check(process != nullptr, "CreateProcessW");
    return {process.release(), inputWrite.release(), outputRead.release(), errorsRead.release()};
}

// Reads both streams to their ends (standard error on a thread of its own, so neither fills
// up), then waits for the exit.
ToolRun finish(HANDLE process, HANDLE output, HANDLE errors) {
    ToolRun run;
    auto errorText = std::async(std::launch::async, [errors] { return readAll(errors); });
    if (output != nullptr) {
        run.output = readAll(output);
        CloseHandle(output);
    }
    run.errors = errorText.get();
    CloseHandle(errors);
    WaitForSingleObject(process, INFINITE);
    DWORD code = 0;
    run.exitStatus = GetExitCodeProcess(process, &code) != FALSE ? static_cast<int>(code) : -1;
    CloseHandle(process);
    return run;
}

} // namespace

ToolRun runTool(const std::string& input, const RunOptions& options) {
    Started tool = start();
    if (options.panelGone) {
        CloseHandle(tool.output);
        tool.output = nullptr;
    }
    std::size_t bytesWritten = 0;
    if (options.emptyWriteFirst) {
        // On a Windows pipe the reader gets an empty read for it, which is not the end.
        DWORD none = 0;
        WriteFile(tool.input, "", 0, &none, nullptr);
    }
    if (options.pieceBytes == 0) {
        bytesWritten = writeAll(tool.input, input);
    } else {
        for (std::size_t at = 0; at < input.size(); at += options.pieceBytes) {
            bytesWritten += writeAll(tool.input, input.substr(at, options.pieceBytes));
            Sleep(static_cast<DWORD>(options.pause.count()));
        }
    }
    if (options.keepWriting) {
        const std::string more(65536, ' ');
        for (int i = 0; i < 160; ++i) { // at most 10 MiB
            const std::size_t n = writeAll(tool.input, more);
            bytesWritten += n;
            if (n < more.size()) {
                break;
            }
        }
    }
    CloseHandle(tool.input);
    ToolRun run = finish(tool.process, tool.output, tool.errors);
    run.bytesWritten = bytesWritten;
    return run;
}

StartedTool startTool(const std::string& input) {
    const Started tool = start();
    writeAll(tool.input, input);
    CloseHandle(tool.input);
    return {valueOf(tool.process), valueOf(tool.output), valueOf(tool.errors)};
}

bool answeredWithin(const StartedTool& tool, std::chrono::milliseconds wait) {
    const auto giveUp = std::chrono::steady_clock::now() + wait;
    do {
        DWORD waiting = 0;
        if (PeekNamedPipe(handleOf(tool.output), nullptr, 0, nullptr, &waiting, nullptr) == FALSE ||
            waiting > 0) {
            return true; // an answer, or the tool has ended
        }
        Sleep(10);
    } while (std::chrono::steady_clock::now() < giveUp);
    return false;
}

ToolRun finishTool(StartedTool& tool) {
    return finish(handleOf(tool.process), handleOf(tool.output), handleOf(tool.errors));
}

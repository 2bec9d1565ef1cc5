#include "run_tool.h"

#include <future>
#include <stdexcept>
#include <windows.h>

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

struct Pipe {
    HANDLE read = nullptr;
    HANDLE write = nullptr;
};

// A pipe whose `childEnd` alone can be inherited.
Pipe makePipe(bool childReads) {
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    Pipe pipe;
    check(CreatePipe(&pipe.read, &pipe.write, &inheritable, 0) != FALSE, "CreatePipe");
    check(SetHandleInformation(childReads ? pipe.write : pipe.read, HANDLE_FLAG_INHERIT, 0) !=
              FALSE,
          "SetHandleInformation");
    return pipe;
}

// The tool with the three pipes as its standard handles, and nothing else inherited: tools
// started side by side must not hold each other's pipes open.
HANDLE spawn(HANDLE input, HANDLE output, HANDLE errors) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::string storage(size, '\0');
    auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
    check(InitializeProcThreadAttributeList(attributes, 1, 0, &size) != FALSE, "attributes");
    HANDLE inherited[] = {input, output, errors};
    check(UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                    sizeof inherited, nullptr, nullptr) != FALSE,
          "handle list");
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = input;
    startup.StartupInfo.hStdOutput = output;
    startup.StartupInfo.hStdError = errors;
    startup.lpAttributeList = attributes;
    const std::string narrowPath = SANDREL_BINARY;
    const std::wstring binary(narrowPath.begin(), narrowPath.end());
    std::wstring commandLine = L"\"" + binary + L"\"";
    PROCESS_INFORMATION started{};
    const BOOL created = CreateProcessW(binary.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                        CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT, nullptr,
                                        nullptr, &startup.StartupInfo, &started);
    DeleteProcThreadAttributeList(attributes);
    check(created != FALSE, "CreateProcessW");
    CloseHandle(started.hThread);
    return started.hProcess;
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
    const Pipe input = makePipe(true);
    const Pipe output = makePipe(false);
    const Pipe errors = makePipe(false);
    const HANDLE process = spawn(input.read, output.write, errors.write);
    CloseHandle(input.read);
    CloseHandle(output.write);
    CloseHandle(errors.write);
    return {process, input.write, output.read, errors.read};
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

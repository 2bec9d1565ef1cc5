#include "ask_tool.h"
#include "platform/text_windows.h"
#include "spawn_windows.h"

#include <algorithm>
#include <memory>
#include <stdexcept>

namespace {

using Clock = std::chrono::steady_clock;
constexpr DWORD sliceMs = 20; // how soon an answer, an exit or a stop is noticed

void killAndReap(HANDLE process) {
    TerminateProcess(process, 1);
    WaitForSingleObject(process, INFINITE);
}

bool setInheritable(HANDLE handle, bool inheritable) {
    return SetHandleInformation(handle, HANDLE_FLAG_INHERIT,
                                inheritable ? HANDLE_FLAG_INHERIT : 0) != FALSE;
}

enum class Pipe { open, ended };

// Takes what the pipe holds now, without waiting; stops once past the largest answer. Ended
// once every writer has closed its end.
Pipe readWhatIsThere(HANDLE pipe, std::string& output) {
    char buffer[4096];
    while (output.size() <= largestAnswerBytes) {
        DWORD waiting = 0;
        if (PeekNamedPipe(pipe, nullptr, 0, nullptr, &waiting, nullptr) == FALSE) {
            return Pipe::ended;
        }
        if (waiting == 0) {
            return Pipe::open;
        }
        DWORD got = 0;
        if (ReadFile(pipe, buffer, std::min<DWORD>(waiting, sizeof buffer), &got, nullptr) ==
            FALSE) {
            return Pipe::ended;
        }
        output.append(buffer, got);
    }
    return Pipe::open;
}

// The request goes in on a thread of its own, so a tool that does not read cannot hold up the
// time-out. An anonymous pipe has no overlapped writes, so a write stays blocked as long as any
// process holds the read end, the tool's children included; it is therefore cancelled, on a
// thread handle of the system's own (CreateThread's, which CancelSynchronousIo needs).
struct Writer {
    HANDLE input = nullptr; // closed by the thread when it is done
    const std::string* request = nullptr;
    std::atomic<bool> stop{false};
    HANDLE thread = nullptr;
};

DWORD WINAPI writeRequest(LPVOID parameter) {
    auto& writer = *static_cast<Writer*>(parameter);
    std::size_t done = 0;
    DWORD written = 0;
    while (!writer.stop.load() && done < writer.request->size() &&
           WriteFile(writer.input, writer.request->data() + done,
                     static_cast<DWORD>(writer.request->size() - done), &written,
                     nullptr) != FALSE) {
        done += written;
    }
    CloseHandle(writer.input);
    return 0;
}

// Ends the writer and waits for its thread; the writer lives on the caller's stack, so it is
// never left running. A cancel that comes before the thread enters WriteFile finds nothing
// to cancel, and the thread then sees `stop` or is cancelled by the next pass: each pass is
// one slice, and no pass waits for another process.
void stopWriter(Writer& writer) {
    writer.stop.store(true);
    while (WaitForSingleObject(writer.thread, sliceMs) == WAIT_TIMEOUT) {
        CancelSynchronousIo(writer.thread);
    }
    CloseHandle(writer.thread);
}

} // namespace

bool makePipe(Handle& readEnd, Handle& writeEnd) {
    HANDLE read = nullptr;
    HANDLE write = nullptr;
    if (CreatePipe(&read, &write, nullptr, 0) == FALSE) {
        return false;
    }
    readEnd.reset(read);
    writeEnd.reset(write);
    return true;
}

Handle spawnWithStandardHandles(const std::wstring& binary, HANDLE input, HANDLE output,
                                HANDLE errors) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    const auto storage = std::make_unique<char[]>(size);
    auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.get());
    if (InitializeProcThreadAttributeList(attributes, 1, 0, &size) == FALSE) {
        return nullptr;
    }
    HANDLE inherited[] = {input, output, errors};
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = input;
    startup.StartupInfo.hStdOutput = output;
    startup.StartupInfo.hStdError = errors;
    startup.lpAttributeList = attributes;
    std::wstring commandLine = L"\"" + binary + L"\"";
    PROCESS_INFORMATION started{};
    // The handle list keeps this child to the three; only for this call are they inheritable,
    // so that a process another thread of the host starts with inheritance gets none of them.
    bool created =
        UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                  sizeof inherited, nullptr, nullptr) != FALSE &&
        std::all_of(std::begin(inherited), std::end(inherited),
                    [](HANDLE handle) { return setInheritable(handle, true); });
    created = created && CreateProcessW(binary.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                        CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT, nullptr,
                                        nullptr, &startup.StartupInfo, &started) != FALSE;
    for (HANDLE handle : inherited) {
        static_cast<void>(setInheritable(handle, false));
    }
    DeleteProcThreadAttributeList(attributes);
    if (!created) {
        return nullptr;
    }
    CloseHandle(started.hThread);
    return Handle(started.hProcess);
}

ToolAnswer askTool(const std::string& binaryPath, const std::string& request,
                   std::chrono::milliseconds timeout, const std::atomic<bool>& stopping) {
    const Clock::time_point deadline = Clock::now() + timeout;
    std::wstring binary;
    try {
        binary = widen(binaryPath);
    } catch (const std::invalid_argument&) {
        return {Outcome::notStarted, {}}; // a path that is not UTF-8 names no file
    }
    Handle nul(CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    Handle inputRead;
    Handle inputWrite;
    Handle outputRead;
    Handle outputWrite;
    if (binary.empty() || nul.get() == INVALID_HANDLE_VALUE || !makePipe(inputRead, inputWrite) ||
        !makePipe(outputRead, outputWrite)) {
        return {Outcome::notStarted, {}};
    }
    const Handle process =
        spawnWithStandardHandles(binary, inputRead.get(), outputWrite.get(), nul.get());
    if (!process) {
        return {Outcome::notStarted, {}};
    }
    inputRead.reset();
    outputWrite.reset();
    nul.reset();

    Writer writer;
    writer.input = inputWrite.get();
    writer.request = &request;
    writer.thread = CreateThread(nullptr, 0, writeRequest, &writer, 0, nullptr);
    if (writer.thread == nullptr) {
        killAndReap(process.get());
        return {Outcome::noAnswer, {}};
    }
    static_cast<void>(inputWrite.release()); // the writer closes it

    ToolAnswer answer{Outcome::answered, {}};
    bool exited = false;
    for (bool done = false; !done;) {
        if (stopping.load() || Clock::now() >= deadline) {
            killAndReap(process.get());
            stopWriter(writer);
            return {Outcome::timedOut, {}};
        }
        // The end of the output, or the tool's exit and then what it left in the pipe. The
        // wait for the exit is also the pause between looks.
        done = readWhatIsThere(outputRead.get(), answer.output) == Pipe::ended;
        if (!done && WaitForSingleObject(process.get(), sliceMs) == WAIT_OBJECT_0) {
            static_cast<void>(readWhatIsThere(outputRead.get(), answer.output));
            exited = true;
            done = true;
        }
        if (answer.output.size() > largestAnswerBytes) {
            killAndReap(process.get());
            stopWriter(writer);
            return {Outcome::noAnswer, {}};
        }
    }
    while (!exited) {
        if (stopping.load() || Clock::now() >= deadline) {
            killAndReap(process.get());
            stopWriter(writer);
            return {Outcome::timedOut, {}};
        }
        exited = WaitForSingleObject(process.get(), sliceMs) == WAIT_OBJECT_0;
    }
    stopWriter(writer);
    if (answer.output.empty()) {
        return {Outcome::noAnswer, {}};
    }
    return answer;
}

#include "ask_tool.h"
#include "platform/text_windows.h"
#include "spawn_windows.h"

#include <memory>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
constexpr DWORD sliceMs = 20; // how soon an answer, an exit or a stop is noticed

void killAndReap(HANDLE process) {
    TerminateProcess(process, 1);
    WaitForSingleObject(process, INFINITE);
}

} // namespace

bool makePipe(Handle& readEnd, Handle& writeEnd, bool childReads) {
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE read = nullptr;
    HANDLE write = nullptr;
    if (CreatePipe(&read, &write, &inheritable, 0) == FALSE) {
        return false;
    }
    readEnd.reset(read);
    writeEnd.reset(write);
    return SetHandleInformation(childReads ? write : read, HANDLE_FLAG_INHERIT, 0) != FALSE;
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
    const bool created =
        UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                  sizeof inherited, nullptr, nullptr) != FALSE &&
        CreateProcessW(binary.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                       CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
                       &startup.StartupInfo, &started) != FALSE;
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
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    Handle nul(CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    Handle inputRead;
    Handle inputWrite;
    Handle outputRead;
    Handle outputWrite;
    if (binary.empty() || nul.get() == INVALID_HANDLE_VALUE ||
        !makePipe(inputRead, inputWrite, true) || !makePipe(outputRead, outputWrite, false)) {
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

    // The request goes in on a thread of its own: a tool that does not read cannot hold up the
    // time-out, and once it is killed the write fails and the thread ends.
    std::thread writer;
    try {
        writer = std::thread([input = inputWrite.get(), &request] {
            std::size_t done = 0;
            DWORD written = 0;
            while (done < request.size() && WriteFile(input, request.data() + done,
                                                      static_cast<DWORD>(request.size() - done),
                                                      &written, nullptr) != FALSE) {
                done += written;
            }
            CloseHandle(input);
        });
    } catch (const std::system_error&) {
        killAndReap(process.get());
        return {Outcome::noAnswer, {}};
    }
    static_cast<void>(inputWrite.release()); // the writer closes it

    ToolAnswer answer{Outcome::answered, {}};
    char buffer[4096];
    for (;;) {
        if (stopping.load() || Clock::now() >= deadline) {
            killAndReap(process.get());
            writer.join();
            return {Outcome::timedOut, {}};
        }
        DWORD waiting = 0;
        if (PeekNamedPipe(outputRead.get(), nullptr, 0, nullptr, &waiting, nullptr) == FALSE) {
            break; // the tool closed its output: the end of the answer
        }
        if (waiting == 0) {
            WaitForSingleObject(process.get(), sliceMs);
            continue;
        }
        DWORD got = 0;
        if (ReadFile(outputRead.get(), buffer, sizeof buffer, &got, nullptr) == FALSE) {
            break;
        }
        answer.output.append(buffer, got);
        if (answer.output.size() > largestAnswerBytes) {
            killAndReap(process.get());
            writer.join();
            return {Outcome::noAnswer, {}};
        }
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    const bool exited =
        WaitForSingleObject(process.get(),
                            static_cast<DWORD>(left.count() > 0 ? left.count() : 0)) ==
        WAIT_OBJECT_0;
    if (!exited) {
        killAndReap(process.get());
    }
    writer.join();
    if (!exited) {
        return {Outcome::timedOut, {}};
    }
    if (answer.output.empty()) {
        return {Outcome::noAnswer, {}};
    }
    return answer;
}

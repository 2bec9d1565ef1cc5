// Stand-ins for a tool gone wrong, for the add-on's starting logic, built once for each kind:
// one that closes its input at once and exits 200 ms later without answering, one that says more
// than any answer, one that answers and is then killed by a signal (POSIX), and one that answers
// and exits but leaves a child of its own holding its standard input and output, until the test
// removes the mark. Each first leaves that mark beside itself (its path and
// ".started"), so a test can tell its outcome from a failure to start it.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

// The child lingers while the mark is there, and at most this long.
constexpr std::chrono::seconds longestLinger{10};

void lingerWhileMarked(const std::string& mark) {
    const auto giveUp = std::chrono::steady_clock::now() + longestLinger;
    while (std::filesystem::exists(mark) && std::chrono::steady_clock::now() < giveUp) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

[[maybe_unused]] void leaveAChild(const std::string& mark) {
#if defined(_WIN32)
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring command = L"\"" + std::wstring(self) + L"\" --linger";
    static_cast<void>(mark); // the child's own path names it
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION child{};
    // Inheriting every handle it may: whatever the tool was given, the child holds too.
    if (CreateProcessW(self, command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                       nullptr, &startup, &child) != FALSE) {
        CloseHandle(child.hThread);
        CloseHandle(child.hProcess);
    }
#else
    if (fork() == 0) {
        lingerWhileMarked(mark);
        _exit(0);
    }
#endif
}

} // namespace

int main(int argc, char** argv) {
    const std::string mark = std::string(argv[0]) + ".started";
    if (argc == 2 && std::string(argv[1]) == "--linger") {
        lingerWhileMarked(mark);
        return 0;
    }
    std::ofstream(mark).close();
#if defined(CLOSES_ITS_INPUT)
    std::fclose(stdin);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
#elif defined(SAYS_TOO_MUCH)
    const std::string chunk(4096, 'x');
    for (int i = 0; i < 32; ++i) { // 128 KiB, twice the most the add-on reads
        std::fwrite(chunk.data(), 1, chunk.size(), stdout);
    }
#elif defined(KILLED_AFTER_ANSWERING)
    std::fputs(R"({"ok":true,"record":null})", stdout);
    std::fflush(stdout);
    raise(SIGKILL);
#elif defined(LEAVES_A_CHILD)
    leaveAChild(mark);
    std::fputs(R"({"ok":true,"record":null})", stdout);
#endif
    return 0;
}

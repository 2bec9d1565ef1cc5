// The check every add-on test ends with: no child of the test is left, running or exited and
// never reaped, and no thread of the add-on's is left. A test that hangs ends within 10 s.
#pragma once

#include <chrono>
#include <cstddef>
#include <gtest/gtest.h>
#include <thread>
#if defined(_WIN32)
#include <windows.h>
// windows.h first
#include <tlhelp32.h>
#else
#include <cerrno>
#include <sys/wait.h>
#include <unistd.h>
#if defined(__APPLE__)
#include <libproc.h>
#else
#include <filesystem>
#endif
#endif

#if defined(_WIN32)
// Threads of this process, or processes it started, in a snapshot of the system's.
template <typename Entry, typename First, typename Next, typename Ours>
std::size_t countOf(DWORD kind, First first, Next next, Ours ours) {
    const HANDLE snapshot = CreateToolhelp32Snapshot(kind, 0);
    EXPECT_NE(snapshot, INVALID_HANDLE_VALUE);
    Entry entry{};
    entry.dwSize = sizeof entry;
    std::size_t count = 0;
    for (BOOL more = first(snapshot, &entry); more != FALSE; more = next(snapshot, &entry)) {
        count += ours(entry) ? 1 : 0;
    }
    CloseHandle(snapshot);
    return count;
}
inline std::size_t threadCount() {
    return countOf<THREADENTRY32>(TH32CS_SNAPTHREAD, Thread32First, Thread32Next, [](auto& e) {
        return e.th32OwnerProcessID == GetCurrentProcessId();
    });
}
inline bool childLeft() {
    return countOf<PROCESSENTRY32W>(
               TH32CS_SNAPPROCESS, Process32FirstW, Process32NextW,
               [](auto& e) { return e.th32ParentProcessID == GetCurrentProcessId(); }) > 0;
}
#else
inline std::size_t threadCount() {
#if defined(__APPLE__)
    proc_taskinfo info{};
    EXPECT_EQ(proc_pidinfo(getpid(), PROC_PIDTASKINFO, 0, &info, sizeof info),
              static_cast<int>(sizeof info));
    return static_cast<std::size_t>(info.pti_threadnum);
#else
    const std::filesystem::directory_iterator tasks("/proc/self/task");
    return static_cast<std::size_t>(std::distance(tasks, std::filesystem::directory_iterator()));
#endif
}
inline bool childLeft() {
    int status = 0;
    return !(waitpid(-1, &status, WNOHANG) < 0 && errno == ECHILD);
}
#endif

class NothingLeft : public ::testing::Test {
  protected:
    void SetUp() override {
        // A sanitizer's runtime starts a thread of its own with the first one: before counting.
        std::thread([] {}).join();
        threadsBefore = threadCount();
#if !defined(_WIN32)
        alarm(10);
#endif
    }
    void TearDown() override {
#if !defined(_WIN32)
        alarm(0);
#endif
        EXPECT_FALSE(childLeft()) << "a tool was left running or unreaped";
        // A joined thread may take a moment to leave the system's list.
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (threadCount() > threadsBefore && std::chrono::steady_clock::now() < giveUp) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_EQ(threadCount(), threadsBefore) << "a thread of the add-on's is left";
    }

  private:
    std::size_t threadsBefore = 0;
};

// The check every add-on test ends with: no child of the test is left, running or exited and
// never reaped, and no thread of the add-on's is left. A test that hangs ends within 10 s.
#pragma once

#include <chrono>
#include <cstddef>
#include <gtest/gtest.h>
#include <thread>
#include <utility>
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
// This process's thread count and whether it has a child, from a snapshot of the processes.
inline std::pair<std::size_t, bool> processes() {
    std::pair<std::size_t, bool> found{0, false};
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    EXPECT_NE(snapshot, INVALID_HANDLE_VALUE);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more != FALSE;
         more = Process32NextW(snapshot, &entry)) {
        found.first += entry.th32ProcessID == GetCurrentProcessId() ? entry.cntThreads : 0;
        found.second = found.second || entry.th32ParentProcessID == GetCurrentProcessId();
    }
    CloseHandle(snapshot);
    return found;
}
inline std::size_t threadCount() {
    return processes().first;
}
inline bool childLeft() {
    return processes().second;
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

// The check every add-on test ends with: nothing the add-on started outlives the test. No child
// is left (running, or exited and never reaped) and no thread of its own is left running. A
// test that hangs ends the process within a bound, not at ctest's limit.
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
#include <mach/mach.h>
#else
#include <filesystem>
#endif
#endif

// The threads of this process; and whether a child of it is left, reaping any that exited.
#if defined(_WIN32)
inline std::size_t countOf(DWORD kind) {
    const HANDLE snapshot = CreateToolhelp32Snapshot(kind, 0);
    std::size_t count = 0;
    if (snapshot == INVALID_HANDLE_VALUE) {
        ADD_FAILURE() << "no snapshot of the processes";
        return 0;
    }
    if (kind == TH32CS_SNAPTHREAD) {
        THREADENTRY32 entry{};
        entry.dwSize = sizeof entry;
        for (BOOL more = Thread32First(snapshot, &entry); more != FALSE;
             more = Thread32Next(snapshot, &entry)) {
            count += entry.th32OwnerProcessID == GetCurrentProcessId() ? 1 : 0;
        }
    } else {
        PROCESSENTRY32W entry{};
        entry.dwSize = sizeof entry;
        for (BOOL more = Process32FirstW(snapshot, &entry); more != FALSE;
             more = Process32NextW(snapshot, &entry)) {
            count += entry.th32ParentProcessID == GetCurrentProcessId() ? 1 : 0;
        }
    }
    CloseHandle(snapshot);
    return count;
}
inline std::size_t threadCount() {
    return countOf(TH32CS_SNAPTHREAD);
}
inline bool childLeft() {
    return countOf(TH32CS_SNAPPROCESS) > 0;
}
#elif defined(__APPLE__)
inline std::size_t threadCount() {
    thread_act_array_t threads = nullptr;
    mach_msg_type_number_t count = 0;
    if (task_threads(mach_task_self(), &threads, &count) != KERN_SUCCESS) {
        ADD_FAILURE() << "no list of the threads";
        return 0;
    }
    for (mach_msg_type_number_t at = 0; at < count; ++at) {
        mach_port_deallocate(mach_task_self(), threads[at]);
    }
    vm_deallocate(mach_task_self(), reinterpret_cast<vm_address_t>(threads),
                  count * sizeof(thread_act_t));
    return count;
}
#else
inline std::size_t threadCount() {
    std::error_code error;
    const std::filesystem::directory_iterator tasks("/proc/self/task", error);
    if (error) {
        ADD_FAILURE() << "no list of the threads";
        return 0;
    }
    return static_cast<std::size_t>(std::distance(tasks, std::filesystem::directory_iterator()));
}
#endif
#if !defined(_WIN32)
inline bool childLeft() {
    int status = 0;
    return !(waitpid(-1, &status, WNOHANG) < 0 && errno == ECHILD);
}
#endif

class NothingLeft : public ::testing::Test {
  protected:
    void SetUp() override {
        threadsBefore = threadCount();
#if !defined(_WIN32)
        alarm(10); // a test that hangs ends here, long before ctest's limit
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

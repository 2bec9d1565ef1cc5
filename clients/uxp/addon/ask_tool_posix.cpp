#include "ask_tool.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#if defined(__APPLE__)
#include <crt_externs.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds slice{50}; // how soon an exit or a stop is noticed

struct Descriptor {
    int fd = -1;
    Descriptor() = default;
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() { reset(); }
    void reset(int value = -1) {
        if (fd >= 0) {
            close(fd);
        }
        fd = value;
    }
};

// Close-on-exec, and numbered above the standard descriptors: in a host that closed 0, 1 or 2
// a pipe end can get one of those numbers, and the child's dup2 onto 0 and 1 would then
// overwrite one end with the other (or keep a close-on-exec one that exec then closes).
bool keptPrivate(Descriptor& end) {
    if (end.fd > STDERR_FILENO) {
        // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg)
        return fcntl(end.fd, F_SETFD, FD_CLOEXEC) == 0;
    }
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg)
    const int moved = fcntl(end.fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    end.reset(moved);
    return moved >= 0;
}

// A pipe private to this process. Linux makes it close-on-exec at once, so nothing the host
// starts meanwhile inherits it. macOS has no pipe2: a copy inherited in the moment before
// fcntl costs nothing, since the answer is complete once the tool has exited.
bool makePipe(Descriptor& readEnd, Descriptor& writeEnd) {
    int ends[2] = {-1, -1};
#if defined(__linux__)
    const int made = pipe2(ends, O_CLOEXEC);
#else
    const int made = pipe(ends);
#endif
    if (made != 0) {
        return false;
    }
    readEnd.reset(ends[0]);
    writeEnd.reset(ends[1]);
    return keptPrivate(readEnd) && keptPrivate(writeEnd);
}

char** environment() {
#if defined(__APPLE__)
    return *_NSGetEnviron(); // what environ(7) asks of code in a library or bundle
#else
    return environ;
#endif
}

// The child gets the two pipe ends and /dev/null as its standard handles and nothing else of
// the host: every other descriptor is closed in it, its signal mask is empty and its signals
// have their default dispositions.
bool spawnTool(const std::string& binaryPath, int input, int output, pid_t& pid) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    if (posix_spawn_file_actions_init(&actions) != 0) {
        return false;
    }
    if (posix_spawnattr_init(&attributes) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return false;
    }
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    bool ready =
        posix_spawn_file_actions_adddup2(&actions, input, STDIN_FILENO) == 0 &&
        posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO) == 0 &&
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0) == 0;
#if defined(POSIX_SPAWN_CLOEXEC_DEFAULT)
    flags |= POSIX_SPAWN_CLOEXEC_DEFAULT; // macOS: only the descriptors named above survive
#else
    ready = ready && posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1) == 0;
#endif
    ready = ready && posix_spawnattr_setflags(&attributes, flags) == 0 &&
            posix_spawnattr_setsigmask(&attributes, &none) == 0 &&
            posix_spawnattr_setsigdefault(&attributes, &all) == 0;
    char* argv[] = {const_cast<char*>(binaryPath.c_str()), nullptr};
    const bool spawned = ready && posix_spawn(&pid, binaryPath.c_str(), &actions, &attributes, argv,
                                              environment()) == 0;
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return spawned;
}

// Whether this one child (never another of the host's) has exited; reaps it if so.
bool exited(pid_t pid, int& status) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done < 0 && errno == ECHILD) {
        status = 0; // a host that ignores SIGCHLD has its children reaped by the system
        return true;
    }
    return done == pid;
}

void killAndReap(pid_t pid) {
    kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

enum class Pipe { open, ended };

// Takes what the pipe holds now, without waiting; stops once past the largest answer.
Pipe readWhatIsThere(int fd, std::string& output) {
    char buffer[4096];
    while (output.size() <= largestAnswerBytes) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            output.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            return n < 0 && errno == EAGAIN ? Pipe::open : Pipe::ended;
        }
    }
    return Pipe::open;
}

// A write to a pipe whose reader has gone must not raise SIGPIPE in the host. macOS marks the
// descriptor; elsewhere the signal is blocked on this thread and taken back if it came.
#if defined(F_SETNOSIGPIPE)
void guardAgainstSigpipe(int fd) {
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg)
    static_cast<void>(fcntl(fd, F_SETNOSIGPIPE, 1));
}
struct SigpipeBlock {};
#else
void guardAgainstSigpipe(int /*fd*/) {}
struct SigpipeBlock {
    sigset_t previous{};
    SigpipeBlock() {
        sigset_t pipeOnly;
        sigemptyset(&pipeOnly);
        sigaddset(&pipeOnly, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipeOnly, &previous);
    }
    ~SigpipeBlock() {
        sigset_t pipeOnly;
        sigemptyset(&pipeOnly);
        sigaddset(&pipeOnly, SIGPIPE);
        const timespec now{0, 0};
        while (sigtimedwait(&pipeOnly, nullptr, &now) == SIGPIPE) {
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
    SigpipeBlock(const SigpipeBlock&) = delete;
    SigpipeBlock& operator=(const SigpipeBlock&) = delete;
};
#endif

} // namespace

ToolAnswer askTool(const std::string& binaryPath, const std::string& request,
                   std::chrono::milliseconds timeout, const std::atomic<bool>& stopping) {
    const Clock::time_point deadline = Clock::now() + timeout;
    Descriptor inputRead;
    Descriptor inputWrite;
    Descriptor outputRead;
    Descriptor outputWrite;
    pid_t pid = -1;
    if (!makePipe(inputRead, inputWrite) || !makePipe(outputRead, outputWrite) ||
        !spawnTool(binaryPath, inputRead.fd, outputWrite.fd, pid)) {
        return {Outcome::notStarted, {}};
    }
    inputRead.reset();
    outputWrite.reset();
    // Neither end may block: the time-out holds while the tool reads, and what is left in the
    // output once the tool has exited is taken without waiting for an end that may never come.
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg)
    fcntl(inputWrite.fd, F_SETFL, O_NONBLOCK);
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg)
    fcntl(outputRead.fd, F_SETFL, O_NONBLOCK);
    guardAgainstSigpipe(inputWrite.fd);
    [[maybe_unused]] const SigpipeBlock noSigpipe;

    ToolAnswer answer{Outcome::answered, {}};
    std::size_t written = 0;
    int status = 0;
    for (bool done = false; !done;) {
        if (stopping.load() || Clock::now() >= deadline) {
            killAndReap(pid);
            return {Outcome::timedOut, {}};
        }
        pollfd fds[2] = {{outputRead.fd, POLLIN, 0}, {inputWrite.fd, POLLOUT, 0}};
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (poll(fds, inputWrite.fd >= 0 ? 2 : 1,
                 static_cast<int>(std::min(left, slice).count()) + 1) < 0 &&
            errno != EINTR) {
            std::this_thread::sleep_for(slice); // no memory for now: look again in a moment
        }
        if (inputWrite.fd >= 0 && fds[1].revents != 0) {
            const ssize_t n =
                write(inputWrite.fd, request.data() + written, request.size() - written);
            if (n > 0) {
                written += static_cast<std::size_t>(n);
            }
            if ((n < 0 && errno != EAGAIN && errno != EINTR) || written == request.size()) {
                inputWrite.reset(); // all written, or the tool stopped reading: it may answer yet
            }
        }
        // The end of the output, or the tool's exit and then what it left in the pipe.
        done = readWhatIsThere(outputRead.fd, answer.output) == Pipe::ended;
        if (!done && exited(pid, status)) {
            static_cast<void>(readWhatIsThere(outputRead.fd, answer.output));
            pid = -1;
            done = true;
        }
        if (answer.output.size() > largestAnswerBytes) {
            if (pid >= 0) {
                killAndReap(pid);
            }
            return {Outcome::noAnswer, {}};
        }
    }
    inputWrite.reset();
    while (pid >= 0 && !exited(pid, status)) {
        if (stopping.load() || Clock::now() >= deadline) {
            killAndReap(pid);
            return {Outcome::timedOut, {}};
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!WIFEXITED(status) || answer.output.empty()) {
        return {Outcome::noAnswer, {}};
    }
    return answer;
}

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

extern char** environ; // NOLINT(readability-redundant-declaration): POSIX declares it nowhere

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds slice{50}; // how soon a stop is noticed

struct Descriptor {
    int fd = -1;
    Descriptor() = default;
    explicit Descriptor(int value) : fd(value) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() { reset(); }
    void reset() {
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
    }
};

// A pipe private to this process: not inherited by anything the host starts meanwhile.
bool makePipe(Descriptor& readEnd, Descriptor& writeEnd) {
    int ends[2] = {-1, -1};
    if (pipe(ends) != 0) {
        return false;
    }
    readEnd.fd = ends[0];
    writeEnd.fd = ends[1];
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg)
    return fcntl(ends[0], F_SETFD, FD_CLOEXEC) == 0 && fcntl(ends[1], F_SETFD, FD_CLOEXEC) == 0;
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
    const bool spawned =
        ready && posix_spawn(&pid, binaryPath.c_str(), &actions, &attributes, argv, environ) == 0;
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return spawned;
}

// Waits for this one child (never any other of the host's) until the deadline; kills it then.
// Whether it exited by itself.
bool reap(pid_t pid, Clock::time_point deadline, int& status) {
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done < 0 && errno == ECHILD) {
            status = 0; // a host that ignores SIGCHLD has its children reaped by the system
            return true;
        }
        if (done == pid || (done < 0 && errno != EINTR)) {
            return done == pid;
        }
        if (Clock::now() >= deadline) {
            kill(pid, SIGKILL);
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
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
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg)
    fcntl(inputWrite.fd, F_SETFL, O_NONBLOCK); // so the time-out holds while the tool reads
    guardAgainstSigpipe(inputWrite.fd);
    [[maybe_unused]] const SigpipeBlock noSigpipe;

    ToolAnswer answer{Outcome::answered, {}};
    std::size_t written = 0;
    char buffer[4096];
    for (;;) {
        if (stopping.load() || Clock::now() >= deadline) {
            int status = 0;
            reap(pid, Clock::now(), status);
            return {Outcome::timedOut, {}};
        }
        pollfd fds[2] = {{outputRead.fd, POLLIN, 0}, {inputWrite.fd, POLLOUT, 0}};
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (poll(fds, inputWrite.fd >= 0 ? 2 : 1,
                 static_cast<int>(std::min(left, slice).count()) + 1) < 0 &&
            errno != EINTR) {
            break;
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
        if (fds[0].revents != 0) {
            const ssize_t n = read(outputRead.fd, buffer, sizeof buffer);
            if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
                break; // the end of the answer
            }
            if (n > 0) {
                answer.output.append(buffer, static_cast<std::size_t>(n));
            }
            if (answer.output.size() > largestAnswerBytes) {
                int status = 0;
                reap(pid, Clock::now(), status);
                return {Outcome::noAnswer, {}};
            }
        }
    }
    inputWrite.reset();
    int status = 0;
    if (!reap(pid, deadline, status)) {
        return {Outcome::timedOut, {}};
    }
    if (!WIFEXITED(status) || answer.output.empty()) {
        return {Outcome::noAnswer, {}};
    }
    return answer;
}

#include "run_tool.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ; // NOLINT

namespace {

void check(bool ok, const char* what) {
    if (!ok) {
        throw std::runtime_error(what);
    }
}

struct Pipes {
    int input[2]{-1, -1};
    int output[2]{-1, -1};
    int errors[2]{-1, -1};
};

pid_t spawn(Pipes& pipes, const std::vector<std::string>& environment, bool noOutputStream) {
    check(pipe2(pipes.input, O_CLOEXEC) == 0 && pipe2(pipes.output, O_CLOEXEC) == 0 &&
              pipe2(pipes.errors, O_CLOEXEC) == 0,
          "pipe");
    std::vector<char*> envp;
    for (const auto& entry : environment) {
        envp.push_back(const_cast<char*>(entry.c_str()));
    }
    envp.push_back(nullptr);
    const pid_t pid = fork();
    check(pid >= 0, "fork");
    if (pid == 0) {
        dup2(pipes.input[0], 0);
        if (noOutputStream) {
            close(1);
        } else {
            dup2(pipes.output[1], 1);
        }
        dup2(pipes.errors[1], 2);
        char* argv[] = {const_cast<char*>(SANDREL_BINARY), nullptr};
        execve(SANDREL_BINARY, argv, environment.empty() ? environ : envp.data());
        _exit(127);
    }
    close(pipes.input[0]);
    close(pipes.output[1]);
    close(pipes.errors[1]);
    return pid;
}

std::size_t writeAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break; // the tool stopped reading and went away
        }
        done += static_cast<std::size_t>(n);
    }
    return done;
}

// Reads both streams to their ends without letting either fill up.
void drain(int output, int errors, ToolRun& run) {
    pollfd fds[2] = {{output, POLLIN, 0}, {errors, POLLIN, 0}};
    std::string* sinks[2] = {&run.output, &run.errors};
    int open = output < 0 ? 1 : 2;
    char buffer[4096];
    while (open > 0) {
        check(poll(fds, 2, -1) >= 0 || errno == EINTR, "poll");
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd >= 0 && fds[i].revents != 0) {
                const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
                if (n > 0) {
                    sinks[i]->append(buffer, static_cast<std::size_t>(n));
                } else if (n == 0 || errno != EINTR) {
                    close(fds[i].fd);
                    fds[i].fd = -1;
                    --open;
                }
            }
        }
    }
}

int waitFor(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        check(errno == EINTR, "waitpid");
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

ToolRun runTool(const std::string& input, const RunOptions& options) {
    std::signal(SIGPIPE, SIG_IGN);
    Pipes pipes;
    const pid_t pid = spawn(pipes, options.environment, options.noOutputStream);
    if (options.panelGone) {
        close(pipes.output[0]);
        pipes.output[0] = -1;
    }
    ToolRun run;
    if (options.emptyWriteFirst) {
        static_cast<void>(write(pipes.input[1], "", 0));
    }
    if (options.pieceBytes == 0) {
        run.bytesWritten = writeAll(pipes.input[1], input);
    } else {
        for (std::size_t at = 0; at < input.size(); at += options.pieceBytes) {
            run.bytesWritten += writeAll(pipes.input[1], input.substr(at, options.pieceBytes));
            std::this_thread::sleep_for(options.pause);
        }
    }
    if (options.keepWriting) {
        const std::string more(65536, ' ');
        for (int i = 0; i < 160; ++i) { // at most 10 MiB
            const std::size_t n = writeAll(pipes.input[1], more);
            run.bytesWritten += n;
            if (n < more.size()) {
                break;
            }
        }
    }
    close(pipes.input[1]);
    drain(pipes.output[0], pipes.errors[0], run);
    run.exitStatus = waitFor(pid);
    return run;
}

StartedTool startTool(const std::string& input) {
    std::signal(SIGPIPE, SIG_IGN);
    Pipes pipes;
    StartedTool tool;
    tool.process = spawn(pipes, {}, false);
    writeAll(pipes.input[1], input);
    close(pipes.input[1]);
    tool.output = pipes.output[0];
    tool.errors = pipes.errors[0];
    return tool;
}

bool answeredWithin(const StartedTool& tool, std::chrono::milliseconds wait) {
    pollfd fd{static_cast<int>(tool.output), POLLIN, 0};
    return poll(&fd, 1, static_cast<int>(wait.count())) > 0;
}

ToolRun finishTool(StartedTool& tool) {
    ToolRun run;
    drain(static_cast<int>(tool.output), static_cast<int>(tool.errors), run);
    run.exitStatus = waitFor(static_cast<pid_t>(tool.process));
    return run;
}

std::string privateHome() {
    const passwd* entry = getpwuid(getuid());
    const char* scratch = std::getenv("SANDREL_SCRATCH");
    struct stat home {};
    struct stat throwaway {};
    if (entry == nullptr || scratch == nullptr || stat(entry->pw_dir, &home) != 0 ||
        stat((std::string(scratch) + "/home").c_str(), &throwaway) != 0 ||
        home.st_ino != throwaway.st_ino || home.st_dev != throwaway.st_dev) {
        // Never run against a real home folder or keyring.
        std::fputs("These tests run only inside scripts/private-session.\n", stderr);
        std::abort();
    }
    return entry->pw_dir;
}

#include "platform/process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/resource.h>
#include <system_error>
#include <unistd.h>
#include <vector>
#if defined(__linux__)
#include <sys/prctl.h>
#endif

extern char** environ; // NOLINT(readability-redundant-declaration): POSIX declares it nowhere

namespace {

bool locatesSessionBus(std::string_view name) {
    return name == "DBUS_SESSION_BUS_ADDRESS" || name == "XDG_RUNTIME_DIR";
}

} // namespace

void hardenProcess() {
    std::vector<std::string> names;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        const std::string_view name = text.substr(0, text.find('='));
        if (!locatesSessionBus(name)) {
            names.emplace_back(name);
        }
    }
    for (const std::string& name : names) {
        static_cast<void>(unsetenv(name.c_str())); // NOLINT(concurrency-mt-unsafe): one thread yet
    }
    // Neither can fail for these arguments; if one did, there would be nothing better to do.
    const rlimit noCoreFiles{0, 0};
    static_cast<void>(setrlimit(RLIMIT_CORE, &noCoreFiles));
#if defined(__linux__)
    // Also keeps other processes of the user from attaching to read the session from memory.
    static_cast<void>(prctl(PR_SET_DUMPABLE, 0, 0, 0, 0));
#endif
}

void protectStandardStreams() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg)
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            // open returns the lowest free descriptor: this one. If it fails there is
            // nothing better to do than go on.
            // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg)
            static_cast<void>(open("/dev/null", O_RDWR | O_CLOEXEC));
        }
    }
    // NOLINTNEXTLINE(cert-err33-c): SIG_IGN for SIGPIPE cannot fail on a valid signal number
    std::signal(SIGPIPE, SIG_IGN);
}

std::string readInput(std::size_t count) {
    std::string chunk(count, '\0');
    for (;;) {
        const ssize_t got = read(STDIN_FILENO, chunk.data(), count);
        if (got >= 0) {
            chunk.resize(static_cast<std::size_t>(got));
            return chunk;
        }
        if (errno != EINTR) {
            throw std::system_error(errno, std::generic_category(), "read standard input");
        }
    }
}

void finishProcess(std::string_view output) {
    while (!output.empty()) {
        const ssize_t written = write(STDOUT_FILENO, output.data(), output.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            break; // the reader has gone; there is nobody left to tell
        }
        output.remove_prefix(static_cast<std::size_t>(written));
    }
    std::exit(0); // NOLINT(concurrency-mt-unsafe): the tool has one thread
}

#include "platform/files.h"

#include <cerrno>
#include <pwd.h>
#include <stdexcept>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::size_t largestBuffer = std::size_t{1} << 20;

} // namespace

std::string homeFolder() {
    const long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested)
                                           : std::size_t{1024});
    for (;;) {
        passwd entry{};
        passwd* found = nullptr;
        const int error = getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < largestBuffer) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (error != 0 || found == nullptr || entry.pw_dir == nullptr || entry.pw_dir[0] != '/') {
            throw std::runtime_error("no home folder in the password database");
        }
        return entry.pw_dir;
    }
}

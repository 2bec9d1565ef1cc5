#include "platform/files.h"

#include <cerrno>
#include <stdexcept>
#include <sys/stat.h>
#include <system_error>

namespace {

constexpr mode_t privateFolderMode = 0700;

void createOneFolder(const std::string& path) {
    if (mkdir(path.c_str(), privateFolderMode) == 0) {
        // mkdir narrows the mode by the umask; a folder the tool creates is exactly 0700.
        if (chmod(path.c_str(), privateFolderMode) != 0) {
            throw std::system_error(errno, std::generic_category(), "chmod");
        }
        return;
    }
    if (errno != EEXIST) {
        throw std::system_error(errno, std::generic_category(), "mkdir");
    }
    struct stat status {};
    if (stat(path.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
        throw std::runtime_error("not a folder");
    }
}

} // namespace

void createPrivateFolders(const std::string& path) {
    if (path.empty() || path.front() != '/') {
        throw std::invalid_argument("folder path is not absolute");
    }
    // Every prefix that ends before a separator, then the whole path.
    for (std::size_t end = path.find('/', 1); end != std::string::npos;
         end = path.find('/', end + 1)) {
        createOneFolder(path.substr(0, end));
    }
    createOneFolder(path);
}

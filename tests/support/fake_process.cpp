#include "fake_process.h"

#include "app/entry.h"
#include "platform/files.h"
#include "platform/process.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <stdexcept>

namespace {

std::string pendingInput;
std::size_t consumed = 0;

} // namespace

void hardenProcess() {}

void protectStandardStreams() {}

std::string readInput(std::size_t count) {
    const std::size_t size = std::min(count, pendingInput.size() - consumed);
    std::string chunk = pendingInput.substr(consumed, size);
    consumed += size;
    return chunk;
}

void finishProcess(std::string_view output) {
    throw ProcessEnded{std::string(output)};
}

std::string homeFolder() {
    return fakeProcess::home();
}

namespace fakeProcess {

std::string serve(const std::string& input) {
    pendingInput = input;
    consumed = 0;
    try {
        serveOneRequest();
    } catch (const ProcessEnded& ended) {
        return ended.output;
    }
}

std::size_t bytesRead() {
    return consumed;
}

std::string home() {
    // Made once per test process and removed when it exits, whether its tests pass or fail.
    struct Folder {
        std::string path;
        Folder() {
            namespace fs = std::filesystem;
            const auto name = "sandrel-test-home." + std::to_string(std::random_device()());
            path = (fs::temp_directory_path() / name).string();
            if (!fs::create_directory(path)) {
                throw std::runtime_error("temp folder exists");
            }
            fs::permissions(path, fs::perms::owner_all, fs::perm_options::replace);
        }
        ~Folder() {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
        Folder(const Folder&) = delete;
        Folder& operator=(const Folder&) = delete;
    };
    static const Folder folder;
    return folder.path;
}

} // namespace fakeProcess

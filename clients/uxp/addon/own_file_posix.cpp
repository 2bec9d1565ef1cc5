#include "own_file.h"

#include <dlfcn.h>

namespace {

const char anchor = 0; // an address inside the add-on, to ask which file holds it

const char* ownPath() {
    Dl_info info{};
    return dladdr(&anchor, &info) != 0 ? info.dli_fname : nullptr;
}

} // namespace

std::string toolBesideAddon() {
    const char* path = ownPath();
    if (path == nullptr) {
        return {};
    }
    const std::string self(path);
    const auto slash = self.rfind('/');
    return slash == std::string::npos ? std::string()
                                      : self.substr(0, slash + 1) + "sandrel-adobe-auth";
}

void keepAddonLoaded() {
    // Already loaded, so this only marks it never to be unloaded; the mark outlives the handle.
    const char* path = ownPath();
    void* handle = path != nullptr ? dlopen(path, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE) : nullptr;
    if (handle != nullptr) {
        dlclose(handle);
    }
}

#include "own_file.h"
#include "platform/text_windows.h"

#include <stdexcept>

namespace {

const char anchor = 0; // an address inside the add-on, to ask which module holds it

HMODULE ownModule(DWORD flags) {
    HMODULE module = nullptr;
    return GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | flags,
                              reinterpret_cast<LPCWSTR>(&anchor), &module) != FALSE
               ? module
               : nullptr;
}

} // namespace

std::string toolBesideAddon() {
    HMODULE module = ownModule(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT);
    if (module == nullptr) {
        return {};
    }
    constexpr std::size_t longestPath = 32768;
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) {
            return {};
        }
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        if (path.size() >= longestPath) {
            return {};
        }
        path.resize(path.size() * 2); // cut short: the name did not fit
    }
    const auto slash = path.find_last_of(L"\\/");
    if (slash == std::wstring::npos) {
        return {};
    }
    try {
        return narrow(path.substr(0, slash + 1) + L"sandrel-adobe-auth.exe");
    } catch (const std::invalid_argument&) {
        return {};
    }
}

void keepAddonLoaded() {
    static_cast<void>(ownModule(GET_MODULE_HANDLE_EX_FLAG_PIN));
}

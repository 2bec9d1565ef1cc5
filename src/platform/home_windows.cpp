#include "platform/files.h"
#include "platform/text_windows.h"

#include <memory>
#include <shlobj.h>
#include <stdexcept>

// On Windows the tool's folder lives in the local application data folder, asked of the
// system (never read from an environment variable).
std::string homeFolder() {
    PWSTR path = nullptr;
    const HRESULT found =
        SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_DEFAULT, nullptr, &path);
    const std::unique_ptr<wchar_t, decltype(&CoTaskMemFree)> owner(path, CoTaskMemFree);
    if (FAILED(found) || path == nullptr) {
        throw std::runtime_error("no local application data folder");
    }
    return narrow(path);
}

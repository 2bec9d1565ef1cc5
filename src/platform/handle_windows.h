// Ownership of Windows handles: closed once, when the owner goes.
#pragma once

#include <memory>
#include <windows.h>

struct HandleCloser {
    void operator()(HANDLE handle) const {
        if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
            CloseHandle(handle);
        }
    }
};
using Handle = std::unique_ptr<void, HandleCloser>;

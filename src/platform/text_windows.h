// UTF-8 to and from the UTF-16 of the Windows API.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <windows.h>

// Throws on text that is not valid UTF-8.
inline std::wstring widen(std::string_view text) {
    if (text.empty()) {
        return {};
    }
    const int size = static_cast<int>(text.size());
    const int length =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    if (length <= 0 || MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), size,
                                           wide.data(), length) != length) {
        throw std::invalid_argument("not UTF-8");
    }
    return wide;
}

// Throws on text that is not valid UTF-16.
inline std::string narrow(std::wstring_view text) {
    if (text.empty()) {
        return {};
    }
    const int size = static_cast<int>(text.size());
    const int length = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), size,
                                           nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<std::size_t>(length), '\0');
    if (length <= 0 || WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(), size,
                                           result.data(), length, nullptr, nullptr) != length) {
        throw std::invalid_argument("not UTF-16");
    }
    return result;
}

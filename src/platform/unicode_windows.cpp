#include "platform/text_windows.h"
#include "platform/unicode.h"

#include <optional>

namespace {

// Canonical composition (NFC); none when the text is not valid UTF-8.
std::optional<std::wstring> composed(std::string_view text) {
    std::wstring wide;
    try {
        wide = widen(text);
    } catch (const std::invalid_argument&) {
        return std::nullopt;
    }
    if (wide.empty()) {
        return wide;
    }
    const int size = static_cast<int>(wide.size());
    int capacity = NormalizeString(NormalizationC, wide.c_str(), size, nullptr, 0);
    // The first answer is an estimate: grow while the system says it was too small.
    for (int attempt = 0; capacity > 0 && attempt < 4; ++attempt) {
        std::wstring result(static_cast<std::size_t>(capacity), L'\0');
        const int length =
            NormalizeString(NormalizationC, wide.c_str(), size, result.data(), capacity);
        if (length > 0) {
            result.resize(static_cast<std::size_t>(length));
            return result;
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
            return std::nullopt;
        }
        capacity = -length;
    }
    return std::nullopt;
}

} // namespace

bool canonicallyEqual(std::string_view left, std::string_view right) {
    if (left == right) {
        return true;
    }
    const auto leftComposed = composed(left);
    const auto rightComposed = composed(right);
    return leftComposed && rightComposed && *leftComposed == *rightComposed;
}

#include "platform/unicode.h"

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <utf8proc.h>

namespace {

struct FreeDeleter {
    void operator()(utf8proc_uint8_t* pointer) const {
        // utf8proc allocates its results with malloc.
        std::free(pointer); // NOLINT(cppcoreguidelines-no-malloc,cppcoreguidelines-owning-memory)
    }
};

// Canonical composition (NFC); none when the text is not valid UTF-8.
std::optional<std::string> composed(std::string_view text) {
    utf8proc_uint8_t* mapped = nullptr;
    // An explicit length, so a NUL inside the text does not end it.
    const utf8proc_ssize_t length =
        utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                     static_cast<utf8proc_ssize_t>(text.size()), &mapped,
                     static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
    const std::unique_ptr<utf8proc_uint8_t, FreeDeleter> owner(mapped);
    if (length < 0) {
        return std::nullopt;
    }
    return std::string(reinterpret_cast<const char*>(mapped), static_cast<std::size_t>(length));
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

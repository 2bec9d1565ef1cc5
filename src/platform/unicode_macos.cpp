#include "platform/cf_owned_macos.h"
#include "platform/unicode.h"

namespace {

// Canonical composition (NFC); none when the text is not valid UTF-8.
CFOwned<CFMutableStringRef> composed(std::string_view text) {
    // An explicit length, so a NUL inside the text does not end it.
    const CFOwned<CFStringRef> string(
        CFStringCreateWithBytes(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(text.data()),
                                static_cast<CFIndex>(text.size()), kCFStringEncodingUTF8, 0));
    if (!string) {
        return nullptr;
    }
    CFOwned<CFMutableStringRef> result(
        CFStringCreateMutableCopy(kCFAllocatorDefault, 0, string.get()));
    if (result) {
        CFStringNormalize(result.get(), kCFStringNormalizationFormC);
    }
    return result;
}

} // namespace

bool canonicallyEqual(std::string_view left, std::string_view right) {
    if (left == right) {
        return true;
    }
    const auto leftComposed = composed(left);
    const auto rightComposed = composed(right);
    return leftComposed && rightComposed && CFEqual(leftComposed.get(), rightComposed.get()) != 0;
}

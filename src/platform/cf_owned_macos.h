// Ownership of CoreFoundation objects for the macOS sources.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <memory>
#include <type_traits>

struct CFReleaser {
    void operator()(CFTypeRef object) const { CFRelease(object); }
};

// Adopts the result of a Create or Copy call; never give it a borrowed object.
template <typename Ref> using CFOwned = std::unique_ptr<std::remove_pointer_t<Ref>, CFReleaser>;

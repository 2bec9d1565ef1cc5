// Test stand-in, never shipped: the availability macros as they act on this project's macOS
// build. Its deployment target (macOS 11) is at or past every deprecation the stand-in marks,
// so a deprecated declaration warns here as it does there.
#pragma once

#define API_AVAILABLE(...)
#define API_UNAVAILABLE(...)
#define API_DEPRECATED(message, ...) __attribute__((deprecated(message)))

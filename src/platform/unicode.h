#pragma once

#include <string_view>

// True when two UTF-8 strings are canonically equivalent Unicode strings.
bool canonicallyEqual(std::string_view left, std::string_view right);

// The locked section: lock, resolve, then answer "read" or carry out "write".
#pragma once

#include "platform/json.h"

#include <string_view>

[[noreturn]] void runLockedSection(std::string_view host, std::string_view op, const Json& request);

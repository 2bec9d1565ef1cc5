#include "platform/uuid.h"

#include <array>
#include <uuid/uuid.h>

std::string newRandomUuid() {
    uuid_t uuid{};
    uuid_generate_random(uuid);
    // 36 characters and the terminating NUL.
    std::array<char, 37> text{};
    uuid_unparse_upper(uuid, text.data());
    return {text.data(), 36};
}

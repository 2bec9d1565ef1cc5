#include "app/intake.h"

#include "app/envelope.h"
#include "platform/process.h"
#include "store/record.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace {

constexpr std::size_t readChunkBytes = 4096;

std::string readBoundedInput() {
    std::string buffer;
    for (;;) {
        const std::string chunk = readInput(readChunkBytes);
        if (chunk.empty()) {
            return buffer;
        }
        buffer += chunk;
        // Tested after every append: the rest of an oversized input is never read.
        if (static_cast<std::int64_t>(buffer.size()) > maximumRequestBytes) {
            fail(Message::invalidRequest);
        }
    }
}

// The member's text when it is a string equal to one of the allowed values.
const std::string* allowedString(const Json& request, const char* name, std::string_view first,
                                 std::string_view second) {
    const auto member = request.find(name);
    if (member == request.end() || !member->is_string()) {
        return nullptr;
    }
    const auto& text = member->get_ref<const std::string&>();
    return text == first || text == second ? &text : nullptr;
}

} // namespace

ValidRequest takeRequest() {
    Json request = parseJson(readBoundedInput());
    if (!request.is_object()) {
        fail(Message::invalidRequest);
    }
    const std::string* host = allowedString(request, "host", "PPRO", "AEFT");
    if (host == nullptr) {
        fail(Message::invalidRequest);
    }
    const std::string* op = allowedString(request, "op", "read", "write");
    if (op == nullptr) {
        fail(Message::invalidRequest);
    }
    std::string hostCode = *host;
    std::string operation = *op;
    return {std::move(hostCode), std::move(operation), std::move(request)};
}

#include "platform/json.h"

#include <stdexcept>

namespace {

// Far deeper than any sign-in session, and shallow enough that the recursive
// writer, copies and comparisons of the parsed value can never exhaust the stack.
constexpr int maximumNestingDepth = 512;

} // namespace

Json parseJson(std::string_view bytes) {
    // The parser takes a NUL byte for the end of input and would leave whatever follows it
    // unread. JSON text never holds one, not even inside a string.
    if (bytes.find('\0') != std::string_view::npos) {
        throw std::invalid_argument("NUL byte in JSON text");
    }
    const auto limitDepth = [](int depth, Json::parse_event_t event, Json& /*parsed*/) {
        if ((event == Json::parse_event_t::object_start ||
             event == Json::parse_event_t::array_start) &&
            depth >= maximumNestingDepth) {
            throw std::length_error("JSON nested too deeply");
        }
        return true;
    };
    Json value = Json::parse(bytes.begin(), bytes.end(), limitDepth);
    if (!value.is_object() && !value.is_array()) {
        throw std::invalid_argument("JSON top level is not an array or object");
    }
    return value;
}

std::string encodeJson(const Json& value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::strict);
}

// JSON reading and writing for requests and stored records.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

using Json = nlohmann::json;

// Strict reader: the whole buffer must be one JSON array or object, in UTF-8,
// optionally surrounded by white space. Anything else throws.
Json parseJson(std::string_view bytes);

// Compact writer: no white space between tokens. Throws when the value cannot be written.
std::string encodeJson(const Json& value);

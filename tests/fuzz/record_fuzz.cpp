// decodeRecord never crashes, and whatever it accepts has the record's shape.
#include "store/record.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto record = decodeRecord(std::string(reinterpret_cast<const char*>(data), size));
    if (record && (size > 32768 || !record->is_object() || !record->at("revision").is_string() ||
                   !record->contains("session"))) {
        std::abort();
    }
    return 0;
}

// Any input whatsoever gets exactly one well-formed response, and no crash or hang.
#include "fake_process.h"
#include "memory_keychain.h"

#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    memoryKeychain::reset();
    const std::string output =
        fakeProcess::serve(std::string(reinterpret_cast<const char*>(data), size));
    const auto response = nlohmann::json::parse(output, nullptr, false);
    if (!response.is_object() || response.size() != 2 || !response.contains("ok") ||
        !response.at("ok").is_boolean()) {
        std::abort();
    }
    return 0;
}

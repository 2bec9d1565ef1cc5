// The whole locked section against the in-memory keychain. The first byte picks what is
// saved and what the request names; the rest is the request's "session" text. After every
// input: a successful write reads back exactly what it answered, and a refused one changed
// nothing, and every change was made under the host's lock.
#include "fake_process.h"
#include "memory_keychain.h"
#include "store/items.h"

#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>

namespace mk = memoryKeychain;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::string v2(serviceV2);
    mk::reset();
    switch (data[0] % 3) {
    case 1:
        mk::put(v2, "AEFT", R"({"revision":"R1","session":{"a":1}})");
        break;
    case 2:
        mk::put(v2, "AEFT", R"({"revision":"R1"})");
        break;
    default:
        break;
    }
    const char* expected[] = {"null", R"("R1")", R"("R2")", "7"};
    const std::string session(reinterpret_cast<const char*>(data + 1), size - 1);
    const bool write = (data[0] / 3) % 5 != 4;
    const std::string request = write ? R"({"host":"AEFT","op":"write","expectedRevision":)" +
                                            std::string(expected[(data[0] / 3) % 4]) +
                                            R"(,"session":)" + session + "}"
                                      : R"({"host":"AEFT","op":"read","session":)" + session + "}";

    const auto before = mk::data(v2, "AEFT");
    const auto response = nlohmann::json::parse(fakeProcess::serve(request), nullptr, false);
    if (!response.is_object() || !response.contains("ok")) {
        std::abort();
    }
    const auto after = mk::data(v2, "AEFT");
    if (response.at("ok") == true && write) {
        if (after != response.at("record").dump()) {
            std::abort();
        }
    } else if (after != before) {
        std::abort();
    }
    if (mk::changesOutsideLock() != 0) {
        std::abort();
    }
    return 0;
}

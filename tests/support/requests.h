// Requests as a panel sends them to the built tool, answered through the envelope checks.
#pragma once

#include "envelope_check.h"

inline nlohmann::json call(const nlohmann::json& request) {
    return responseOf(runTool(request.dump()));
}

inline nlohmann::json write(const std::string& host, const nlohmann::json& expected,
                            const nlohmann::json& session) {
    return call(
        {{"host", host}, {"op", "write"}, {"expectedRevision", expected}, {"session", session}});
}

inline nlohmann::json read(const std::string& host) {
    return call({{"host", host}, {"op", "read"}});
}

#pragma once

#include "run_tool.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

// The response as a panel sees it, after checking what every response must be: exit status 0,
// nothing on standard error, one compact object of exactly "ok" and its partner.
inline nlohmann::json responseOf(const ToolRun& run) {
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.errors, "");
    const auto response = nlohmann::json::parse(run.output, nullptr, false);
    EXPECT_TRUE(response.is_object()) << run.output;
    if (!response.is_object()) {
        return nlohmann::json::object();
    }
    EXPECT_EQ(run.output, response.dump()) << "not compact, or trailing bytes";
    EXPECT_EQ(response.size(), 2U);
    EXPECT_TRUE(response.contains("ok") && response.at("ok").is_boolean());
    EXPECT_TRUE(response.value("ok", false)
                    ? response.contains("record")
                    : response.contains("error") && response.at("error").is_string());
    return response;
}

inline std::string errorOf(const ToolRun& run) {
    const auto response = responseOf(run);
    return response.value("ok", true) ? "(ok)" : response.at("error").get<std::string>();
}

inline const std::string catchAllMessage =
    "Secure sign-in storage is unavailable. Retry after unlocking Keychain.";
inline const std::string invalidMessage = "Invalid session request.";
inline const std::string conflictMessage = "Sign-in changed in another panel. Reopen Sandrel.";

// The add-on's binding to the UXP Hybrid Plugin SDK, the one file that includes it: exports
// request(binaryPath, requestText, timeoutMs), which returns a promise at once and settles it on
// the host's JavaScript queue once a thread of the add-on's own has the tool's answer. No
// exception leaves an exported function, no signal handler is installed, and unloading kills
// and reaps every running tool and joins every thread.
#include "UxpAddonShared.h"
#include "requests.h"

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

namespace {

addon_apis api{};

struct Failure {
    const char* code;
    const char* message;
};

// The same codes and sentences as the panel client's own.
constexpr Failure invalidRequest{"INVALID_REQUEST", "Invalid session request."};
constexpr Failure binaryNotFound{"BINARY_NOT_FOUND",
                                 "The sign-in tool is missing or cannot be started."};
constexpr Failure noAnswer{"NO_ANSWER", "The sign-in tool ended without an answer."};
constexpr Failure timedOut{"TIMEOUT", "The sign-in tool did not answer in time."};

addon_value text(addon_env env, const std::string& value) {
    addon_value result = nullptr;
    api.uxp_addon_create_string_utf8(env, value.data(), value.size(), &result);
    return result;
}

// Rejects with an Error whose code and message are the failure's.
void reject(addon_env env, addon_deferred deferred, const Failure& failure) {
    addon_value error = nullptr;
    api.uxp_addon_create_error(env, text(env, failure.code), text(env, failure.message), &error);
    api.uxp_addon_reject_deferred(env, deferred, error);
}

struct Settlement {
    addon_env env;
    addon_deferred deferred;
    ToolAnswer answer;
};

// Runs on the host's JavaScript queue, never on the worker thread.
void settleOnScriptThread(addon_task_data data) {
    try {
        const auto* settlement = static_cast<const Settlement*>(data);
        addon_env env = settlement->env;
        addon_handle_scope scope = nullptr;
        if (api.uxp_addon_open_handle_scope(env, &scope) != addon_ok) {
            return;
        }
        switch (settlement->answer.outcome) {
        case Outcome::answered:
            api.uxp_addon_resolve_deferred(env, settlement->deferred,
                                           text(env, settlement->answer.output));
            break;
        case Outcome::notStarted:
            reject(env, settlement->deferred, binaryNotFound);
            break;
        case Outcome::timedOut:
            reject(env, settlement->deferred, timedOut);
            break;
        case Outcome::noAnswer:
            reject(env, settlement->deferred, noAnswer);
            break;
        }
        api.uxp_addon_close_handle_scope(env, scope);
    } catch (...) {
        // Nothing may reach the host: the promise then stays unsettled.
    }
}

void deleteSettlement(addon_task_data data) {
    const std::unique_ptr<Settlement> owned(static_cast<Settlement*>(data));
}

bool typeIs(addon_env env, addon_value value, addon_valuetype wanted) {
    addon_valuetype type = addon_undefined;
    return api.uxp_addon_typeof(env, value, &type) == addon_ok && type == wanted;
}

bool stringOf(addon_env env, addon_value value, std::string& result) {
    std::size_t length = 0;
    if (!typeIs(env, value, addon_string) ||
        api.uxp_addon_get_value_string_utf8(env, value, nullptr, 0, &length) != addon_ok) {
        return false;
    }
    std::string buffer(length + 1, '\0');
    if (api.uxp_addon_get_value_string_utf8(env, value, buffer.data(), buffer.size(), &length) !=
        addon_ok) {
        return false;
    }
    buffer.resize(length);
    result = std::move(buffer);
    return true;
}

// request(binaryPath, requestText, timeoutMs): a promise, returned at once.
addon_value request(addon_env env, addon_callback_info info) {
    try {
        std::size_t count = 3;
        addon_value arguments[3] = {nullptr, nullptr, nullptr};
        addon_value promise = nullptr;
        addon_deferred deferred = nullptr;
        if (api.uxp_addon_get_cb_info(env, info, &count, arguments, nullptr, nullptr) != addon_ok ||
            api.uxp_addon_create_promise(env, &deferred, &promise) != addon_ok) {
            return nullptr;
        }
        std::string binaryPath;
        std::string requestText;
        double timeoutMs = 0;
        if (count < 3 || !stringOf(env, arguments[0], binaryPath) ||
            !stringOf(env, arguments[1], requestText) || !typeIs(env, arguments[2], addon_number) ||
            api.uxp_addon_get_value_double(env, arguments[2], &timeoutMs) != addon_ok ||
            !std::isfinite(timeoutMs) || timeoutMs <= 0 || timeoutMs > 24.0 * 3600 * 1000) {
            reject(env, deferred, invalidRequest);
            return promise;
        }
        const bool started = startRequest(
            std::move(binaryPath), std::move(requestText),
            std::chrono::milliseconds(static_cast<long long>(timeoutMs)),
            [env, deferred](ToolAnswer answer) {
                auto settlement =
                    std::make_unique<Settlement>(Settlement{env, deferred, std::move(answer)});
                api.uxp_addon_schedule_on_javascript_queue(env, settleOnScriptThread,
                                                           settlement.release(), deleteSettlement);
            });
        if (!started) {
            reject(env, deferred, noAnswer);
        }
        return promise;
    } catch (...) {
        return nullptr;
    }
}

} // namespace

UXP_EXTERN_API_STDCALL(addon_value)
ADDON_INITIALIZER(addon_env env, addon_value exports, addon_apis&& addonAPIs) {
    try {
        api = addonAPIs;
        allowRequests();
        addon_value function = nullptr;
        constexpr const char* name = "request";
        if (api.uxp_addon_create_function(env, name, std::strlen(name), request, nullptr,
                                          &function) != addon_ok ||
            api.uxp_addon_set_named_property(env, exports, name, function) != addon_ok) {
            return nullptr;
        }
        return exports;
    } catch (...) {
        return nullptr;
    }
}

UXP_EXTERN_API_STDCALL(void) ADDON_TERMINATE(addon_env /*env*/) {
    try {
        stopAllRequests();
    } catch (...) {
        // Unloading goes on regardless.
    }
}

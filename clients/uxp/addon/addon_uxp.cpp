// The add-on's binding to the UXP Hybrid Plugin SDK, the one file that includes it: exports
// request(binaryPath, requestText, timeoutMs), which returns a promise at once and settles it on
// the host's JavaScript queue once a thread of the add-on's own has the tool's answer; a null
// binaryPath starts the tool beside the add-on. No exception leaves an exported function, no
// signal handler is installed, and terminating an environment kills and reaps its running
// tools and joins their threads.
#include "UxpAddonShared.h"
#include "in_flight.h"
#include "own_file.h"

#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <utility>

namespace {

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

// What a scheduled task may use of its environment, kept alive by the tasks themselves.
// Whether the host runs or drops a task queued before terminate is not documented, so once
// terminate has begun `gone` is set, and a task that runs then touches nothing of the
// environment: it only frees its data.
struct Environment {
    addon_apis api{};
    std::atomic<bool> gone{false};
};

struct Live {
    std::shared_ptr<Environment> environment;
    std::shared_ptr<Requests> requests;
};

// The environments between init and terminate, each with its own requests: a reload may init a
// new environment before it terminates the old one. Never destroyed: a host that exits without
// terminate may still have request threads running, and destroying their owner would end the
// process.
struct Registry {
    std::mutex mutex;
    std::map<addon_env, Live> live;
};

Registry& registry() {
    static auto* const instance = new Registry(); // NOLINT(cppcoreguidelines-owning-memory)
    return *instance;
}

Live liveFor(addon_env env) {
    Registry& all = registry();
    const std::lock_guard<std::mutex> lock(all.mutex);
    const auto found = all.live.find(env);
    return found == all.live.end() ? Live{} : found->second;
}

// The host calls init, terminate and the exported function on the environment's JavaScript
// thread, where the tasks run too; so no task runs while this does. Once it returns, no thread
// of the environment's is left and none schedules anything.
void stopEnvironment(addon_env env) {
    Live stopped;
    {
        Registry& all = registry();
        const std::lock_guard<std::mutex> lock(all.mutex);
        const auto found = all.live.find(env);
        if (found == all.live.end()) {
            return;
        }
        stopped = std::move(found->second);
        all.live.erase(found);
    }
    stopped.environment->gone.store(true);
    stopAllRequests(*stopped.requests);
}

addon_value text(const addon_apis& api, addon_env env, const std::string& value) {
    addon_value result = nullptr;
    api.uxp_addon_create_string_utf8(env, value.data(), value.size(), &result);
    return result;
}

// Rejects with an Error whose code and message are the failure's.
void reject(const addon_apis& api, addon_env env, addon_deferred deferred, const Failure& failure) {
    addon_value error = nullptr;
    api.uxp_addon_create_error(env, text(api, env, failure.code), text(api, env, failure.message),
                               &error);
    api.uxp_addon_reject_deferred(env, deferred, error);
}

struct Settlement {
    std::shared_ptr<const Environment> environment;
    addon_env env;
    addon_deferred deferred;
    ToolAnswer answer;
};

// Runs on the host's JavaScript queue, never on a worker thread.
void settleOnScriptThread(addon_task_data data) {
    try {
        const auto* settlement = static_cast<const Settlement*>(data);
        if (settlement->environment->gone.load()) {
            return;
        }
        const addon_apis& api = settlement->environment->api;
        addon_env env = settlement->env;
        addon_handle_scope scope = nullptr;
        if (api.uxp_addon_open_handle_scope(env, &scope) != addon_ok) {
            return;
        }
        switch (settlement->answer.outcome) {
        case Outcome::answered:
            api.uxp_addon_resolve_deferred(env, settlement->deferred,
                                           text(api, env, settlement->answer.output));
            break;
        case Outcome::notStarted:
            reject(api, env, settlement->deferred, binaryNotFound);
            break;
        case Outcome::timedOut:
            reject(api, env, settlement->deferred, timedOut);
            break;
        case Outcome::noAnswer:
            reject(api, env, settlement->deferred, noAnswer);
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

bool typeIs(const addon_apis& api, addon_env env, addon_value value, addon_valuetype wanted) {
    addon_valuetype type = addon_undefined;
    return api.uxp_addon_typeof(env, value, &type) == addon_ok && type == wanted;
}

bool stringOf(const addon_apis& api, addon_env env, addon_value value, std::string& result) {
    std::size_t length = 0;
    if (!typeIs(api, env, value, addon_string) ||
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

// request(binaryPath, requestText, timeoutMs): a promise, returned at once. binaryPath is a
// string or null; timeoutMs a number above 0, at most 24 hours.
addon_value request(addon_env env, addon_callback_info info) {
    try {
        const Live live = liveFor(env);
        if (!live.environment) {
            return nullptr;
        }
        const addon_apis& api = live.environment->api;
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
        const bool beside = count >= 1 && typeIs(api, env, arguments[0], addon_null);
        if (count < 3 || !(beside || stringOf(api, env, arguments[0], binaryPath)) ||
            !stringOf(api, env, arguments[1], requestText) ||
            !typeIs(api, env, arguments[2], addon_number) ||
            api.uxp_addon_get_value_double(env, arguments[2], &timeoutMs) != addon_ok ||
            !std::isfinite(timeoutMs) || timeoutMs <= 0 || timeoutMs > 24.0 * 3600 * 1000) {
            reject(api, env, deferred, invalidRequest);
            return promise;
        }
        if (beside) {
            binaryPath = toolBesideAddon();
            if (binaryPath.empty()) {
                reject(api, env, deferred, binaryNotFound);
                return promise;
            }
        }
        const std::shared_ptr<const Environment> environment = live.environment;
        const bool started =
            startRequest(*live.requests, std::move(binaryPath), std::move(requestText),
                         std::chrono::milliseconds(static_cast<long long>(timeoutMs)),
                         [environment, env, deferred](ToolAnswer answer) {
                             auto settlement = std::make_unique<Settlement>(
                                 Settlement{environment, env, deferred, std::move(answer)});
                             environment->api.uxp_addon_schedule_on_javascript_queue(
                                 env, settleOnScriptThread, settlement.release(), deleteSettlement);
                         });
        if (!started) {
            reject(api, env, deferred, noAnswer);
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
        // The host may unload the add-on while a task of it is still queued.
        keepAddonLoaded();
        stopEnvironment(env); // a second init of one environment starts it afresh
        auto environment = std::make_shared<Environment>();
        environment->api = addonAPIs;
        addon_value function = nullptr;
        constexpr const char* name = "request";
        if (addonAPIs.uxp_addon_create_function(env, name, std::strlen(name), request, nullptr,
                                                &function) != addon_ok ||
            addonAPIs.uxp_addon_set_named_property(env, exports, name, function) != addon_ok) {
            return nullptr;
        }
        Registry& all = registry();
        const std::lock_guard<std::mutex> lock(all.mutex);
        all.live[env] = Live{std::move(environment), std::make_shared<Requests>()};
        return exports;
    } catch (...) {
        return nullptr;
    }
}

UXP_EXTERN_API_STDCALL(void) ADDON_TERMINATE(addon_env env) {
    try {
        stopEnvironment(env);
    } catch (...) {
        // Unloading goes on regardless.
    }
}

// A stand-in for Premiere's side of the UXP Hybrid Plugin SDK: it loads the built add-on (a .so
// here, the .dll under Wine), hands it a table of the SDK calls it uses (every other entry is
// left empty), and runs a JavaScript queue on its own thread. Through the add-on's request it
// reads (starting the tool beside the add-on), writes, then writes again naming a stale
// revision, and checks that every promise is returned at once and settled on that queue,
// inside a handle scope, never on the add-on's thread; and that terminate leaves nothing
// pending, running or still to settle.
#include "UxpAddonShared.h"
#include "lock/session_lock.h"
#include "nothing_left.h"

#include <condition_variable>
#include <deque>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>
#include <vector>
#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

using nlohmann::json;

struct Deferred {
    bool settled = false;
    bool resolved = false;
    std::string text; // the resolution, or the rejection's message
    std::string code; // the rejection's code
    bool onScriptQueue = false;
    bool inHandleScope = false;
};

// Values as plainly as the add-on needs them; deques keep their addresses.
struct Value {
    addon_valuetype type = addon_undefined;
    std::string text;
    double number = 0;
    addon_callback function = nullptr;
    std::map<std::string, Value*> properties;
    Deferred* promised = nullptr;
};
std::deque<Value> values;
std::deque<Deferred> deferreds;

Value* make(addon_valuetype type, std::string text = {}, double number = 0) {
    values.push_back(Value{type, std::move(text), number, nullptr, {}, nullptr});
    return &values.back();
}

addon_value out(Value* value) {
    return reinterpret_cast<addon_value>(value);
}

Value* in(addon_value value) {
    return reinterpret_cast<Value*>(value);
}

// --- The script thread and its queue ---

struct Task {
    addon_task task;
    addon_task_data data;
    addon_task_destructor deleter;
};
std::mutex queueMutex;
std::condition_variable queued;
std::deque<Task> queue;
std::thread::id scriptThread;
bool inQueue = false;
int openScopes = 0;
int callsOffScriptThread = 0;

void onScriptThread() {
    callsOffScriptThread += std::this_thread::get_id() == scriptThread ? 0 : 1;
}

addon_status settle(addon_deferred deferred, addon_value outcome, bool resolved) {
    onScriptThread();
    auto& settling = *reinterpret_cast<Deferred*>(deferred);
    const Value& value = *in(outcome);
    settling = {true,
                resolved,
                resolved ? value.text : value.properties.at("message")->text,
                resolved ? "" : value.properties.at("code")->text,
                inQueue,
                openScopes > 0};
    return addon_ok;
}

// The SDK calls the add-on uses, each checked to come from the script thread but the one the
// SDK allows from any thread.
addon_apis sdkCalls() {
    addon_apis apis{};
    apis.uxp_addon_create_string_utf8 = [](addon_env, const char* text, size_t length,
                                           addon_value* result) {
        onScriptThread();
        *result = out(make(addon_string, std::string(text, length)));
        return addon_ok;
    };
    apis.uxp_addon_create_error = [](addon_env, addon_value code, addon_value message,
                                     addon_value* result) {
        onScriptThread();
        Value* error = make(addon_object);
        error->properties = {{"code", in(code)}, {"message", in(message)}};
        *result = out(error);
        return addon_ok;
    };
    apis.uxp_addon_get_cb_info = [](addon_env, addon_callback_info info, size_t* count,
                                    addon_value* arguments, addon_value*, void**) {
        onScriptThread();
        const auto& given = *reinterpret_cast<std::vector<Value*>*>(info);
        for (size_t at = 0; at < *count; ++at) {
            arguments[at] = out(at < given.size() ? given[at] : make(addon_undefined));
        }
        *count = given.size();
        return addon_ok;
    };
    apis.uxp_addon_typeof = [](addon_env, addon_value value, addon_valuetype* result) {
        onScriptThread();
        *result = in(value)->type;
        return addon_ok;
    };
    apis.uxp_addon_get_value_string_utf8 = [](addon_env, addon_value value, char* buffer,
                                              size_t size, size_t* result) {
        onScriptThread();
        const std::string& text = in(value)->text;
        *result = buffer == nullptr ? text.size() : text.copy(buffer, size - 1);
        if (buffer != nullptr) {
            buffer[*result] = '\0';
        }
        return in(value)->type == addon_string ? addon_ok : addon_string_expected;
    };
    apis.uxp_addon_get_value_double = [](addon_env, addon_value value, double* result) {
        onScriptThread();
        *result = in(value)->number;
        return in(value)->type == addon_number ? addon_ok : addon_number_expected;
    };
    apis.uxp_addon_create_promise = [](addon_env, addon_deferred* deferred, addon_value* promise) {
        onScriptThread();
        Value* value = make(addon_object);
        value->promised = &deferreds.emplace_back();
        *deferred = reinterpret_cast<addon_deferred>(value->promised);
        *promise = out(value);
        return addon_ok;
    };
    apis.uxp_addon_resolve_deferred = [](addon_env, addon_deferred deferred, addon_value value) {
        return settle(deferred, value, true);
    };
    apis.uxp_addon_reject_deferred = [](addon_env, addon_deferred deferred, addon_value value) {
        return settle(deferred, value, false);
    };
    apis.uxp_addon_open_handle_scope = [](addon_env, addon_handle_scope* scope) {
        onScriptThread();
        *scope = reinterpret_cast<addon_handle_scope>(&++openScopes);
        return addon_ok;
    };
    apis.uxp_addon_close_handle_scope = [](addon_env, addon_handle_scope) {
        onScriptThread();
        --openScopes;
        return addon_ok;
    };
    apis.uxp_addon_schedule_on_javascript_queue =
        [](addon_env, addon_task task, addon_task_data data, addon_task_destructor deleter) {
            const std::lock_guard<std::mutex> lock(queueMutex);
            queue.push_back({task, data, deleter});
            queued.notify_one();
        };
    apis.uxp_addon_create_function = [](addon_env, const char* name, size_t length,
                                        addon_callback callback, void*, addon_value* result) {
        onScriptThread();
        Value* function = make(addon_function, std::string(name, length));
        function->function = callback;
        *result = out(function);
        return addon_ok;
    };
    apis.uxp_addon_set_named_property = [](addon_env, addon_value object, const char* name,
                                           addon_value value) {
        onScriptThread();
        in(object)->properties[name] = in(value);
        return addon_ok;
    };
    return apis;
}

// Runs queued tasks, as the host's script thread does, until the promise settles; without one,
// until the queue is empty.
void runQueue(const Deferred* promise) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    std::unique_lock<std::mutex> lock(queueMutex);
    while (promise == nullptr ? !queue.empty()
                              : !promise->settled && queued.wait_until(lock, giveUp, [] {
                                    return !queue.empty();
                                })) {
        const Task task = queue.front();
        queue.pop_front();
        lock.unlock();
        inQueue = true;
        task.task(task.data);
        task.deleter(task.data);
        inQueue = false;
        lock.lock();
    }
}

// --- The add-on, loaded as the host loads it ---

struct Addon {
    decltype(&ADDON_INITIALIZER) initialize = nullptr;
    decltype(&ADDON_TERMINATE) terminate = nullptr;
};

Addon load(const std::string& path) {
#if defined(_WIN32)
    HMODULE module = LoadLibraryW(std::wstring(path.begin(), path.end()).c_str());
    const auto symbol = [module](const char* name) {
        return reinterpret_cast<void (*)()>(GetProcAddress(module, name));
    };
#else
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    const auto symbol = [module](const char* name) { return dlsym(module, name); };
#endif
    EXPECT_NE(module, nullptr) << path;
    return {reinterpret_cast<decltype(&ADDON_INITIALIZER)>(symbol("uxp_addon_init")),
            reinterpret_cast<decltype(&ADDON_TERMINATE)>(symbol("uxp_addon_terminate"))};
}

addon_env env() {
    static int environment = 0;
    return reinterpret_cast<addon_env>(&environment);
}

Deferred& call(const Value& request, std::vector<Value*> arguments) {
    const addon_value promise =
        request.function(env(), reinterpret_cast<addon_callback_info>(&arguments));
    EXPECT_NE(promise, nullptr);
    return *in(promise)->promised;
}

Deferred& start(const Value& request, const json& body,
                Value* binary = make(addon_string, SANDREL_BINARY)) {
    Deferred& promise =
        call(request, {binary, make(addon_string, body.dump()), make(addon_number, {}, 3e4)});
    EXPECT_FALSE(promise.settled) << "settled before the promise was returned";
    return promise;
}

json ask(const Value& request, const json& body,
         Value* binary = make(addon_string, SANDREL_BINARY)) {
    Deferred& promise = start(request, body, binary);
    runQueue(&promise);
    EXPECT_TRUE(promise.settled && promise.resolved) << promise.code << " " << promise.text;
    EXPECT_TRUE(promise.onScriptQueue && promise.inHandleScope);
    return json::parse(promise.text, nullptr, false);
}

// The add-on, initialised for the test's environment and terminated after it; then no call has
// come off the script thread, every handle scope is closed, and nothing of the add-on's is left.
class StandInHost : public NothingLeft {
  protected:
    void SetUp() override {
        NothingLeft::SetUp();
        scriptThread = std::this_thread::get_id();
        static const Addon loaded = load(SANDREL_ADDON);
        addon = loaded;
        ASSERT_TRUE(addon.initialize != nullptr && addon.terminate != nullptr);
        Value* exports = make(addon_object);
        ASSERT_EQ(in(addon.initialize(env(), out(exports), sdkCalls())), exports);
        ASSERT_EQ(exports->properties.size(), 1U); // request, and nothing else
        request = exports->properties.at("request");
    }
    void TearDown() override {
        addon.terminate(env());
        EXPECT_EQ(callsOffScriptThread, 0);
        EXPECT_EQ(openScopes, 0);
        NothingLeft::TearDown();
    }
    Addon addon;
    const Value* request = nullptr;
};

TEST_F(StandInHost, AWriteAndAConflictingWriteSettleOnTheScriptQueue) {
    // A path that is not a string, a wait over 24 hours or one that is not a number.
    for (const auto& [binary, timeout] :
         {std::pair{make(addon_number, {}, 1), make(addon_number, {}, 1000)},
          {make(addon_null), make(addon_number, {}, 86400001)},
          {make(addon_null), make(addon_string, "1000")}}) {
        Deferred& refused = call(*request, {binary, make(addon_string, "{}"), timeout});
        EXPECT_TRUE(refused.settled && !refused.resolved);
        EXPECT_EQ(refused.code, "INVALID_REQUEST");
    }

    // No path: the tool beside the add-on.
    const json current =
        ask(*request, {{"host", "AEFT"}, {"op", "read"}}, make(addon_null)).at("record");
    const json seen = current.is_object() ? current.at("revision") : json();
    const json write = {
        {"host", "AEFT"}, {"op", "write"}, {"expectedRevision", seen}, {"session", {{"ui", 1}}}};
    const json written = ask(*request, write);
    EXPECT_EQ(written.value("ok", false), true) << written;
    EXPECT_EQ(ask(*request, write).value("error", ""),
              "Sign-in changed in another panel. Reopen Sandrel.");
}

// A tool that cannot be started rejects. Terminate stops a tool still waiting, at once, and an
// answer already queued then is never settled: the environment has gone.
TEST_F(StandInHost, NothingIsLeftPendingAndNothingSettlesAfterTerminate) {
    Deferred& missing =
        start(*request, json::object(), make(addon_string, SANDREL_BINARY ".missing"));
    runQueue(&missing);
    EXPECT_TRUE(missing.settled && !missing.resolved);
    EXPECT_EQ(missing.code, "BINARY_NOT_FOUND");

    const LockHandle otherPanel = acquireSessionLock("PPRO"); // as another panel's tool holds it
    const Deferred& waiting = start(*request, {{"host", "PPRO"}, {"op", "read"}});
    const Deferred& answered = start(*request, {{"host", "AEFT"}, {"op", "read"}});
    {
        std::unique_lock<std::mutex> lock(queueMutex);
        ASSERT_TRUE(queued.wait_for(lock, std::chrono::seconds(5), [] { return !queue.empty(); }));
    }
    const auto started = std::chrono::steady_clock::now();
    addon.terminate(env());
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    runQueue(nullptr);
    EXPECT_FALSE(answered.settled) << "settled after terminate";
    EXPECT_FALSE(waiting.settled) << "settled after terminate";
    releaseSessionLock(otherPanel);
}

} // namespace

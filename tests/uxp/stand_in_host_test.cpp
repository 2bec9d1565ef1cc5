// A stand-in for Premiere's side of the UXP Hybrid Plugin SDK: it loads the built add-on (a .so
// here, the .dll under Wine), hands it a table of the SDK calls it uses (every other entry is
// left empty), and runs a JavaScript queue on its own thread. Through the add-on's request it
// writes, then writes again naming a stale revision, and checks that every promise is returned
// at once and settled on that queue, inside a handle scope, never on the add-on's thread.
#include "UxpAddonShared.h"

#include <condition_variable>
#include <deque>
#include <gtest/gtest.h>
#include <map>
#include <memory>
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

// --- Values, as plainly as the add-on needs them ---

struct Deferred {
    bool settled = false;
    bool resolved = false;
    std::string text; // the resolution's string, or the rejection's message
    std::string code; // the rejection's code
    bool onScriptQueue = false;
    bool inHandleScope = false;
};

struct Value {
    addon_valuetype type = addon_undefined;
    std::string text;
    double number = 0;
    addon_callback function = nullptr;
    std::map<std::string, Value*> properties;
    Deferred* promised = nullptr;
};

std::vector<std::unique_ptr<Value>> values;
std::vector<std::unique_ptr<Deferred>> deferreds;

Value* make(addon_valuetype type) {
    values.push_back(std::make_unique<Value>());
    values.back()->type = type;
    return values.back().get();
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

// --- The SDK calls the add-on uses ---

addon_status createString(addon_env /*env*/, const char* text, size_t length, addon_value* result) {
    onScriptThread();
    Value* value = make(addon_string);
    value->text.assign(text, length);
    *result = out(value);
    return addon_ok;
}

addon_status createError(addon_env /*env*/, addon_value code, addon_value message,
                         addon_value* result) {
    onScriptThread();
    Value* error = make(addon_object);
    error->properties["code"] = in(code);
    error->properties["message"] = in(message);
    *result = out(error);
    return addon_ok;
}

addon_status getCallbackInfo(addon_env /*env*/, addon_callback_info info, size_t* count,
                             addon_value* arguments, addon_value* /*self*/, void** /*data*/) {
    onScriptThread();
    const auto& given = *reinterpret_cast<std::vector<Value*>*>(info);
    for (size_t at = 0; at < *count; ++at) {
        arguments[at] = out(at < given.size() ? given[at] : make(addon_undefined));
    }
    *count = given.size();
    return addon_ok;
}

addon_status typeOf(addon_env /*env*/, addon_value value, addon_valuetype* result) {
    onScriptThread();
    *result = in(value)->type;
    return addon_ok;
}

addon_status stringValue(addon_env /*env*/, addon_value value, char* buffer, size_t size,
                         size_t* result) {
    onScriptThread();
    const std::string& text = in(value)->text;
    if (in(value)->type != addon_string) {
        return addon_string_expected;
    }
    if (buffer == nullptr) {
        *result = text.size();
        return addon_ok;
    }
    const size_t copied = std::min(text.size(), size - 1);
    text.copy(buffer, copied);
    buffer[copied] = '\0';
    *result = copied;
    return addon_ok;
}

addon_status doubleValue(addon_env /*env*/, addon_value value, double* result) {
    onScriptThread();
    *result = in(value)->number;
    return in(value)->type == addon_number ? addon_ok : addon_number_expected;
}

addon_status createPromise(addon_env /*env*/, addon_deferred* deferred, addon_value* promise) {
    onScriptThread();
    deferreds.push_back(std::make_unique<Deferred>());
    Value* value = make(addon_object);
    value->promised = deferreds.back().get();
    *deferred = reinterpret_cast<addon_deferred>(deferreds.back().get());
    *promise = out(value);
    return addon_ok;
}

addon_status settle(addon_deferred deferred, addon_value outcome, bool resolved) {
    onScriptThread();
    auto* settling = reinterpret_cast<Deferred*>(deferred);
    settling->settled = true;
    settling->resolved = resolved;
    settling->onScriptQueue = inQueue;
    settling->inHandleScope = openScopes > 0;
    const Value* value = in(outcome);
    settling->text = resolved ? value->text : value->properties.at("message")->text;
    settling->code = resolved ? "" : value->properties.at("code")->text;
    return addon_ok;
}

addon_status resolve(addon_env /*env*/, addon_deferred deferred, addon_value resolution) {
    return settle(deferred, resolution, true);
}

addon_status reject(addon_env /*env*/, addon_deferred deferred, addon_value rejection) {
    return settle(deferred, rejection, false);
}

addon_status openScope(addon_env /*env*/, addon_handle_scope* scope) {
    onScriptThread();
    ++openScopes;
    *scope = reinterpret_cast<addon_handle_scope>(&openScopes);
    return addon_ok;
}

addon_status closeScope(addon_env /*env*/, addon_handle_scope /*scope*/) {
    onScriptThread();
    --openScopes;
    return addon_ok;
}

// The one call the SDK allows from any thread.
void schedule(addon_env /*env*/, addon_task task, addon_task_data data,
              addon_task_destructor deleter) {
    const std::lock_guard<std::mutex> lock(queueMutex);
    queue.push_back({task, data, deleter});
    queued.notify_one();
}

addon_status createFunction(addon_env /*env*/, const char* name, size_t length,
                            addon_callback callback, void* /*data*/, addon_value* result) {
    onScriptThread();
    Value* function = make(addon_function);
    function->text.assign(name, length);
    function->function = callback;
    *result = out(function);
    return addon_ok;
}

addon_status setNamed(addon_env /*env*/, addon_value object, const char* name, addon_value value) {
    onScriptThread();
    in(object)->properties[name] = in(value);
    return addon_ok;
}

addon_apis sdkCalls() {
    addon_apis apis{};
    apis.uxp_addon_create_string_utf8 = createString;
    apis.uxp_addon_create_error = createError;
    apis.uxp_addon_get_cb_info = getCallbackInfo;
    apis.uxp_addon_typeof = typeOf;
    apis.uxp_addon_get_value_string_utf8 = stringValue;
    apis.uxp_addon_get_value_double = doubleValue;
    apis.uxp_addon_create_promise = createPromise;
    apis.uxp_addon_resolve_deferred = resolve;
    apis.uxp_addon_reject_deferred = reject;
    apis.uxp_addon_open_handle_scope = openScope;
    apis.uxp_addon_close_handle_scope = closeScope;
    apis.uxp_addon_schedule_on_javascript_queue = schedule;
    apis.uxp_addon_create_function = createFunction;
    apis.uxp_addon_set_named_property = setNamed;
    return apis;
}

// Runs queued tasks, as the host's script thread does, until the promise settles.
void runQueueUntilSettled(const Deferred& promise) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!promise.settled && std::chrono::steady_clock::now() < giveUp) {
        std::unique_lock<std::mutex> lock(queueMutex);
        if (!queued.wait_until(lock, giveUp, [] { return !queue.empty(); })) {
            break;
        }
        const Task task = queue.front();
        queue.pop_front();
        lock.unlock();
        inQueue = true;
        task.task(task.data);
        task.deleter(task.data);
        inQueue = false;
    }
}

// --- The add-on, loaded as the host loads it ---

struct Addon {
    decltype(&ADDON_INITIALIZER) initialize = nullptr;
    decltype(&ADDON_TERMINATE) terminate = nullptr;
};

Addon load(const char* path) {
    Addon addon;
#if defined(_WIN32)
    const std::string narrow = path;
    HMODULE module = LoadLibraryW(std::wstring(narrow.begin(), narrow.end()).c_str());
    EXPECT_NE(module, nullptr) << path;
    const auto symbol = [module](const char* name) {
        return reinterpret_cast<void (*)()>(GetProcAddress(module, name));
    };
#else
    void* module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    EXPECT_NE(module, nullptr) << dlerror();
    const auto symbol = [module](const char* name) { return dlsym(module, name); };
#endif
    addon.initialize = reinterpret_cast<decltype(addon.initialize)>(symbol("uxp_addon_init"));
    addon.terminate = reinterpret_cast<decltype(addon.terminate)>(symbol("uxp_addon_terminate"));
    return addon;
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

Value* text(const std::string& content) {
    Value* value = make(addon_string);
    value->text = content;
    return value;
}

Value* number(double content) {
    Value* value = make(addon_number);
    value->number = content;
    return value;
}

json ask(const Value& request, const json& body) {
    Deferred& promise = call(request, {text(SANDREL_BINARY), text(body.dump()), number(30000)});
    EXPECT_FALSE(promise.settled) << "settled before the promise was returned";
    runQueueUntilSettled(promise);
    EXPECT_TRUE(promise.settled && promise.resolved) << promise.code << " " << promise.text;
    EXPECT_TRUE(promise.onScriptQueue && promise.inHandleScope);
    return json::parse(promise.text, nullptr, false);
}

TEST(StandInHost, AWriteAndAConflictingWriteSettleOnTheScriptQueue) {
    scriptThread = std::this_thread::get_id();
    const Addon addon = load(SANDREL_ADDON);
    ASSERT_TRUE(addon.initialize != nullptr && addon.terminate != nullptr);
    Value* exports = make(addon_object);
    ASSERT_EQ(in(addon.initialize(env(), out(exports), sdkCalls())), exports);
    ASSERT_EQ(exports->properties.size(), 1U); // request, and nothing else
    const Value& request = *exports->properties.at("request");

    Deferred& refused = call(request, {number(1), text("{}"), number(1000)});
    EXPECT_TRUE(refused.settled && !refused.resolved);
    EXPECT_EQ(refused.code, "INVALID_REQUEST");

    const json current = ask(request, {{"host", "AEFT"}, {"op", "read"}}).at("record");
    const json seen = current.is_object() ? current.at("revision") : json();
    const json written = ask(request, {{"host", "AEFT"},
                                       {"op", "write"},
                                       {"expectedRevision", seen},
                                       {"session", {{"from", "uxp"}}}});
    EXPECT_EQ(written.value("ok", false), true) << written;
    const json stale = ask(request, {{"host", "AEFT"},
                                     {"op", "write"},
                                     {"expectedRevision", seen},
                                     {"session", {{"from", "uxp"}}}});
    EXPECT_EQ(stale.value("error", ""), "Sign-in changed in another panel. Reopen Sandrel.");

    addon.terminate(env());
    EXPECT_EQ(callsOffScriptThread, 0);
    EXPECT_EQ(openScopes, 0);
}

} // namespace

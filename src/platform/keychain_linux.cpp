// Linux keychain: the Secret Service (gnome-keyring, KWallet) through libsecret.
//
// Items use the generic-password schema of secret-tool: attributes "service" and
// "account", the label, and the record bytes as the secret, in the default collection.
// The tool never prompts, never unlocks and never creates a collection: the service is
// opened through a subclass whose prompts fail at once, and locked items are refused
// before any call that would need one.
#include "platform/keychain.h"

// Reads, deletes and updates go by D-Bus object path, so no proxy object (and its property
// load and signal subscriptions) is made per item. libsecret still labels these calls
// unstable; they have not changed since libsecret 0.7.
#define SECRET_API_SUBJECT_TO_CHANGE
#include <chrono>
#include <condition_variable>
#include <functional>
#include <libsecret/secret.h>
#include <memory>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <system_error>
#include <thread>

namespace {

constexpr gint dbusTimeoutMs = 5000;
constexpr const char* secretContentType = "application/octet-stream";

struct ErrorDeleter {
    void operator()(GError* error) const { g_error_free(error); }
};
struct ObjectDeleter {
    void operator()(gpointer object) const { g_object_unref(object); }
};
struct PathsDeleter {
    void operator()(gchar** paths) const { g_strfreev(paths); }
};
struct HashTableDeleter {
    void operator()(GHashTable* table) const { g_hash_table_unref(table); }
};
struct ValueDeleter {
    void operator()(SecretValue* value) const { secret_value_unref(value); }
};
using ErrorPtr = std::unique_ptr<GError, ErrorDeleter>;
using CollectionPtr = std::unique_ptr<SecretCollection, ObjectDeleter>;
using ItemPtr = std::unique_ptr<SecretItem, ObjectDeleter>;
using Paths = std::unique_ptr<gchar*, PathsDeleter>;
using HashTablePtr = std::unique_ptr<GHashTable, HashTableDeleter>;
using ValuePtr = std::unique_ptr<SecretValue, ValueDeleter>;

// Statuses by GError domain and code, never by message text. The Secret Service has no
// per-application access list, so no answer of it means an item is lost for good: a locked
// item, or a service that refuses (a D-Bus policy, a sandbox) or does not answer, is a passing
// state, and -25308 and -25293, which make the tool discard an item, are never reported.
KeychainStatus statusFor(const GError* error) {
    if (error != nullptr && error->domain == SECRET_ERROR) {
        if (error->code == SECRET_ERROR_IS_LOCKED) {
            return keychain::interactionRequired;
        }
        if (error->code == SECRET_ERROR_NO_SUCH_OBJECT) {
            return keychain::itemNotFound;
        }
    }
    return keychain::notAvailable;
}

// --- A Secret Service proxy that can never show a prompt ---

GVariant* refusePromptSync(SecretService* /*self*/, SecretPrompt* /*prompt*/,
                           GCancellable* /*cancellable*/, const GVariantType* /*returnType*/,
                           GError** error) {
    g_set_error_literal(error, SECRET_ERROR, SECRET_ERROR_IS_LOCKED, "prompts are turned off");
    return nullptr;
}

void refusePromptAsync(SecretService* self, SecretPrompt* /*prompt*/,
                       const GVariantType* /*returnType*/, GCancellable* cancellable,
                       GAsyncReadyCallback callback, gpointer userData) {
    GTask* task = g_task_new(self, cancellable, callback, userData);
    g_task_return_new_error(task, SECRET_ERROR, SECRET_ERROR_IS_LOCKED, "prompts are turned off");
    g_object_unref(task);
}

GVariant* refusePromptFinish(SecretService* /*self*/, GAsyncResult* result, GError** error) {
    return static_cast<GVariant*>(g_task_propagate_pointer(G_TASK(result), error));
}

void initPromptlessClass(gpointer klass, gpointer /*data*/) {
    auto* serviceClass = static_cast<SecretServiceClass*>(klass);
    serviceClass->prompt_sync = refusePromptSync;
    serviceClass->prompt_async = refusePromptAsync;
    serviceClass->prompt_finish = refusePromptFinish;
}

GType promptlessServiceType() {
    static const GType type = g_type_register_static_simple(
        SECRET_TYPE_SERVICE, "SandrelPromptlessSecretService", sizeof(SecretServiceClass),
        initPromptlessClass, sizeof(SecretService), nullptr, static_cast<GTypeFlags>(0));
    return type;
}

// --- One connection per process ---

void discardLog(const gchar* /*domain*/, GLogLevelFlags /*level*/, const gchar* /*message*/,
                gpointer /*data*/) {}

GLogWriterOutput discardStructuredLog(GLogLevelFlags /*level*/, const GLogField* /*fields*/,
                                      gsize /*count*/, gpointer /*data*/) {
    return G_LOG_WRITER_HANDLED;
}

// GLib falls back to spawning dbus-launch when no session bus is announced; the tool never
// starts a bus, so it looks for the two announcements GLib itself uses first.
bool sessionBusAnnounced() {
    const gchar* address = g_getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address != nullptr && address[0] != '\0') {
        return std::string_view(address).find("autolaunch:") == std::string_view::npos;
    }
    const std::string socketPath = std::string(g_get_user_runtime_dir()) + "/bus";
    struct stat status {};
    return stat(socketPath.c_str(), &status) == 0 && S_ISSOCK(status.st_mode);
}

// The process-wide service proxy, opened on first use; released by process exit.
KeychainStatus openService(SecretService*& service) {
    static SecretService* opened = nullptr;
    static KeychainStatus openStatus = keychain::success;
    static bool tried = false;
    if (!tried) {
        tried = true;
        if (!sessionBusAnnounced()) {
            openStatus = keychain::notAvailable;
        } else {
            GError* raw = nullptr;
            opened = secret_service_open_sync(promptlessServiceType(), nullptr, SECRET_SERVICE_NONE,
                                              nullptr, &raw);
            const ErrorPtr error(raw);
            if (opened == nullptr) {
                openStatus = statusFor(error.get());
            } else {
                g_dbus_proxy_set_default_timeout(G_DBUS_PROXY(opened), dbusTimeoutMs);
            }
        }
    }
    service = opened;
    return openStatus;
}

// --- Dictionaries to Secret Service terms ---

// Borrows the strings: the table must not outlive `address`.
HashTablePtr attributesOf(const ItemAddress& address) {
    HashTablePtr table(g_hash_table_new(g_str_hash, g_str_equal));
    g_hash_table_insert(table.get(), const_cast<char*>("service"),
                        const_cast<char*>(address.service.c_str()));
    g_hash_table_insert(table.get(), const_cast<char*>("account"),
                        const_cast<char*>(address.account.c_str()));
    return table;
}

const SecretSchema* genericSchema() {
    static const SecretSchema schema = [] {
        SecretSchema built{};
        built.name = "org.freedesktop.Secret.Generic";
        built.flags = SECRET_SCHEMA_NONE;
        built.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
        built.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
        return built;
    }();
    return &schema;
}

// The object paths of the items with the address, apart by lock state: a search that never
// unlocks and so never prompts.
struct Found {
    Paths unlocked;
    Paths locked;
    bool none() const { return unlocked.get()[0] == nullptr && locked.get()[0] == nullptr; }
};

KeychainStatus findItems(const ItemAddress& address, Found& found) {
    SecretService* service = nullptr;
    if (const KeychainStatus status = openService(service); status != keychain::success) {
        return status;
    }
    const HashTablePtr attributes = attributesOf(address);
    gchar** unlocked = nullptr;
    gchar** locked = nullptr;
    GError* raw = nullptr;
    const gboolean searched = secret_service_search_for_dbus_paths_sync(
        service, nullptr, attributes.get(), nullptr, &unlocked, &locked, &raw);
    found.unlocked.reset(unlocked);
    found.locked.reset(locked);
    const ErrorPtr error(raw);
    if (searched == FALSE || !found.unlocked || !found.locked) {
        return statusFor(error.get());
    }
    return keychain::success;
}

SecretService* openedService() {
    SecretService* service = nullptr;
    static_cast<void>(openService(service)); // opened by the search before every use
    return service;
}

ValuePtr secretValueOf(const std::string& bytes) {
    return ValuePtr(
        secret_value_new(bytes.data(), static_cast<gssize>(bytes.size()), secretContentType));
}

// --- The five calls, run on the bus ---

struct Answer {
    KeychainStatus status;
    std::optional<std::string> data;
};

Answer copyMatching(const Dictionary& query) {
    ItemAddress address;
    if (!addressOf(query, address)) {
        return {keychain::badParameter, std::nullopt};
    }
    Found found;
    if (const KeychainStatus status = findItems(address, found); status != keychain::success) {
        return {status, std::nullopt};
    }
    const gchar* path = found.unlocked.get()[0];
    if (path == nullptr) {
        return {found.none() ? keychain::itemNotFound : keychain::interactionRequired,
                std::nullopt};
    }
    GError* raw = nullptr;
    const ValuePtr value(
        secret_service_get_secret_for_dbus_path_sync(openedService(), path, nullptr, &raw));
    const ErrorPtr error(raw);
    if (!value) {
        // No error and no secret: the item was locked again since the search.
        return {error ? statusFor(error.get()) : keychain::interactionRequired, std::nullopt};
    }
    const auto* wantsData = findAttr<bool>(query, AttrKey::returnData);
    if (wantsData == nullptr || !*wantsData) {
        return {keychain::success, std::nullopt};
    }
    gsize length = 0;
    const gchar* bytes = secret_value_get(value.get(), &length);
    return {keychain::success, std::string(bytes, length)};
}

KeychainStatus add(const Dictionary& attributes) {
    ItemAddress address;
    const auto* label = findAttr<std::string>(attributes, AttrKey::label);
    const auto* bytes = findAttr<ItemBytes>(attributes, AttrKey::valueData);
    if (!addressOf(attributes, address) || label == nullptr || bytes == nullptr) {
        return keychain::badParameter;
    }
    // The Secret Service would happily store a second item with the same address.
    Found existing;
    if (const KeychainStatus status = findItems(address, existing); status != keychain::success) {
        return status;
    }
    if (!existing.none()) {
        return keychain::duplicateItem;
    }

    GError* raw = nullptr;
    const CollectionPtr collection(secret_collection_for_alias_sync(
        openedService(), SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, &raw));
    ErrorPtr error(raw);
    if (error) {
        return statusFor(error.get());
    }
    if (!collection) {
        return keychain::noDefaultKeychain;
    }
    g_dbus_proxy_set_default_timeout(G_DBUS_PROXY(collection.get()), dbusTimeoutMs);
    if (secret_collection_get_locked(collection.get()) != FALSE) {
        return keychain::interactionRequired;
    }

    const HashTablePtr itemAttributes = attributesOf(address);
    const ValuePtr value = secretValueOf(bytes->bytes);
    raw = nullptr;
    const ItemPtr created(secret_item_create_sync(collection.get(), genericSchema(),
                                                  itemAttributes.get(), label->c_str(), value.get(),
                                                  SECRET_ITEM_CREATE_NONE, nullptr, &raw));
    error.reset(raw);
    return created ? keychain::success : statusFor(error.get());
}

KeychainStatus update(const Dictionary& query, const Dictionary& attributesToUpdate) {
    ItemAddress address;
    const auto* bytes = findAttr<ItemBytes>(attributesToUpdate, AttrKey::valueData);
    if (!addressOf(query, address) || bytes == nullptr) {
        return keychain::badParameter;
    }
    Found found;
    if (const KeychainStatus status = findItems(address, found); status != keychain::success) {
        return status;
    }
    if (found.none()) {
        return keychain::itemNotFound;
    }
    if (found.locked.get()[0] != nullptr) {
        return keychain::interactionRequired;
    }
    const ValuePtr value = secretValueOf(bytes->bytes);
    for (gchar** path = found.unlocked.get(); *path != nullptr; ++path) {
        GError* raw = nullptr;
        const ItemPtr item(secret_item_new_for_dbus_path_sync(openedService(), *path,
                                                              SECRET_ITEM_NONE, nullptr, &raw));
        ErrorPtr error(raw);
        if (!item) {
            return statusFor(error.get());
        }
        g_dbus_proxy_set_default_timeout(G_DBUS_PROXY(item.get()), dbusTimeoutMs);
        raw = nullptr;
        const gboolean set = secret_item_set_secret_sync(item.get(), value.get(), nullptr, &raw);
        error.reset(raw);
        if (set == FALSE) {
            return statusFor(error.get());
        }
    }
    return keychain::success;
}

KeychainStatus remove(const Dictionary& query) {
    ItemAddress address;
    if (!addressOf(query, address)) {
        return keychain::badParameter;
    }
    Found found;
    if (const KeychainStatus status = findItems(address, found); status != keychain::success) {
        return status;
    }
    if (found.none()) {
        return keychain::itemNotFound;
    }
    KeychainStatus result = keychain::success;
    for (gchar** path = found.unlocked.get(); *path != nullptr; ++path) {
        GError* raw = nullptr;
        const gboolean deleted =
            secret_service_delete_item_dbus_path_sync(openedService(), *path, nullptr, &raw);
        const ErrorPtr error(raw);
        if (deleted == FALSE) {
            result = statusFor(error.get());
        }
    }
    // A locked item stays: removing it would need the user, as on a locked login keychain.
    return found.locked.get()[0] != nullptr ? keychain::interactionRequired : result;
}

// --- Every wait bounded ---

// GLib's connection handshake and a proxy's property load wait up to 25 s, and not every one of
// them can be cancelled. So each call runs on a helper thread and is given up on after
// callDeadline: the service then counts as unavailable for the rest of the run, and no later call
// touches the bus while the abandoned one may still be waiting there. The helper owns copies of
// everything it uses, so giving up on it leaves it nothing dangling.
constexpr std::chrono::seconds callDeadline{6};

Answer bounded(std::function<Answer()> call) {
    static bool stalled = false;
    static const bool quiet = [] {
        // GLib and libsecret print warnings to standard error; this tool never writes there.
        g_log_set_default_handler(discardLog, nullptr);
        g_log_set_writer_func(discardStructuredLog, nullptr, nullptr);
        return true;
    }();
    static_cast<void>(quiet);
    if (stalled) {
        return {keychain::notAvailable, std::nullopt};
    }
    struct Outcome {
        std::mutex mutex;
        std::condition_variable finished;
        std::optional<Answer> answer;
    };
    const auto outcome = std::make_shared<Outcome>();
    try {
        std::thread([outcome, call = std::move(call)] {
            Answer answer = call();
            const std::lock_guard<std::mutex> lock(outcome->mutex);
            outcome->answer = std::move(answer);
            outcome->finished.notify_one();
        }).detach();
    } catch (const std::system_error&) {
        return {keychain::notAvailable, std::nullopt}; // no thread to be had: nothing was asked
    }
    std::unique_lock<std::mutex> lock(outcome->mutex);
    if (!outcome->finished.wait_for(lock, callDeadline,
                                    [&] { return outcome->answer.has_value(); })) {
        stalled = true;
        return {keychain::notAvailable, std::nullopt};
    }
    return std::move(*outcome->answer);
}

} // namespace

KeychainStatus keychainSetUserInteractionAllowed(bool /*allowed*/) {
    // Nothing to turn off: the Secret Service prompts only when a client runs a prompt,
    // and this backend never runs one.
    return keychain::success;
}

KeychainStatus keychainCopyMatching(const Dictionary& query, std::optional<std::string>& data) {
    Answer answer = bounded([query] { return copyMatching(query); });
    if (answer.data) {
        data = std::move(answer.data);
    }
    return answer.status;
}

KeychainStatus keychainAdd(const Dictionary& attributes) {
    return bounded([attributes] { return Answer{add(attributes), std::nullopt}; }).status;
}

KeychainStatus keychainUpdate(const Dictionary& query, const Dictionary& attributesToUpdate) {
    return bounded([query, attributesToUpdate] {
               return Answer{update(query, attributesToUpdate), std::nullopt};
           })
        .status;
}

KeychainStatus keychainDelete(const Dictionary& query) {
    return bounded([query] { return Answer{remove(query), std::nullopt}; }).status;
}

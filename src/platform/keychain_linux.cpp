// Linux keychain: the Secret Service (gnome-keyring, KWallet) through libsecret.
//
// Items use the generic-password schema of secret-tool: attributes "service" and
// "account", the label, and the record bytes as the secret, in the default collection.
// The tool never prompts, never unlocks and never creates a collection: the service is
// opened through a subclass whose prompts fail at once, and locked items are refused
// before any call that would need one.
#include "platform/keychain.h"

#include <libsecret/secret.h>
#include <memory>
#include <string>
#include <sys/stat.h>

namespace {

constexpr gint dbusTimeoutMs = 5000;
constexpr const char* secretContentType = "application/octet-stream";

struct ErrorDeleter {
    void operator()(GError* error) const { g_error_free(error); }
};
struct ObjectDeleter {
    void operator()(gpointer object) const { g_object_unref(object); }
};
struct ItemListDeleter {
    void operator()(GList* list) const { g_list_free_full(list, g_object_unref); }
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
using ItemList = std::unique_ptr<GList, ItemListDeleter>;
using HashTablePtr = std::unique_ptr<GHashTable, HashTableDeleter>;
using ValuePtr = std::unique_ptr<SecretValue, ValueDeleter>;

// Statuses by GError domain and code, never by message text.
KeychainStatus statusFor(const GError* error) {
    if (error == nullptr) {
        return errSecNotAvailable;
    }
    if (error->domain == SECRET_ERROR) {
        if (error->code == SECRET_ERROR_IS_LOCKED) {
            return errSecInteractionNotAllowed;
        }
        if (error->code == SECRET_ERROR_NO_SUCH_OBJECT) {
            return errSecItemNotFound;
        }
    }
    if (error->domain == G_DBUS_ERROR &&
        (error->code == G_DBUS_ERROR_ACCESS_DENIED || error->code == G_DBUS_ERROR_AUTH_FAILED)) {
        return errSecAuthFailed;
    }
    return errSecNotAvailable;
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
    static KeychainStatus openStatus = errSecSuccess;
    static bool tried = false;
    if (!tried) {
        tried = true;
        // GLib and libsecret print warnings to standard error; this tool never writes there.
        g_log_set_default_handler(discardLog, nullptr);
        g_log_set_writer_func(discardStructuredLog, nullptr, nullptr);
        if (!sessionBusAnnounced()) {
            openStatus = errSecNotAvailable;
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

struct Address {
    const std::string* service = nullptr;
    const std::string* account = nullptr;
};

bool addressOf(const Dictionary& dictionary, Address& address) {
    const auto* itemClass = findAttr<AttrConstant>(dictionary, AttrKey::itemClass);
    address.service = findAttr<std::string>(dictionary, AttrKey::service);
    address.account = findAttr<std::string>(dictionary, AttrKey::account);
    return itemClass != nullptr && *itemClass == AttrConstant::classGenericPassword &&
           address.service != nullptr && address.account != nullptr;
}

// Borrows the strings: the table must not outlive `address`.
HashTablePtr attributesOf(const Address& address) {
    HashTablePtr table(g_hash_table_new(g_str_hash, g_str_equal));
    g_hash_table_insert(table.get(), const_cast<char*>("service"),
                        const_cast<char*>(address.service->c_str()));
    g_hash_table_insert(table.get(), const_cast<char*>("account"),
                        const_cast<char*>(address.account->c_str()));
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

// Every item with the address, unlocked ones first, locked ones included: a search that
// never unlocks and so never prompts.
KeychainStatus findItems(const Address& address, ItemList& items) {
    SecretService* service = nullptr;
    if (const KeychainStatus status = openService(service); status != errSecSuccess) {
        return status;
    }
    const HashTablePtr attributes = attributesOf(address);
    GError* raw = nullptr;
    items.reset(secret_service_search_sync(service, nullptr, attributes.get(), SECRET_SEARCH_ALL,
                                           nullptr, &raw));
    const ErrorPtr error(raw);
    if (error) {
        items.reset();
        return statusFor(error.get());
    }
    for (GList* node = items.get(); node != nullptr; node = node->next) {
        g_dbus_proxy_set_default_timeout(G_DBUS_PROXY(node->data), dbusTimeoutMs);
    }
    return errSecSuccess;
}

SecretItem* itemAt(GList* node) {
    return static_cast<SecretItem*>(node->data);
}

ValuePtr secretValueOf(const std::string& bytes) {
    return ValuePtr(
        secret_value_new(bytes.data(), static_cast<gssize>(bytes.size()), secretContentType));
}

} // namespace

KeychainStatus keychainSetUserInteractionAllowed(bool /*allowed*/) {
    // Nothing to turn off: the Secret Service prompts only when a client runs a prompt,
    // and this backend never runs one.
    return errSecSuccess;
}

KeychainStatus keychainCopyMatching(const Dictionary& query, std::optional<std::string>& data) {
    Address address;
    if (!addressOf(query, address)) {
        return errSecParam;
    }
    ItemList items;
    if (const KeychainStatus status = findItems(address, items); status != errSecSuccess) {
        return status;
    }
    if (!items) {
        return errSecItemNotFound;
    }
    SecretItem* item = itemAt(items.get());
    if (secret_item_get_locked(item) != FALSE) {
        return errSecInteractionNotAllowed;
    }
    GError* raw = nullptr;
    const gboolean loaded = secret_item_load_secret_sync(item, nullptr, &raw);
    const ErrorPtr error(raw);
    if (loaded == FALSE) {
        return statusFor(error.get());
    }
    const ValuePtr value(secret_item_get_secret(item));
    if (!value) {
        return errSecInteractionNotAllowed; // locked again since the search
    }
    const auto* wantsData = findAttr<bool>(query, AttrKey::returnData);
    if (wantsData != nullptr && *wantsData) {
        gsize length = 0;
        const gchar* bytes = secret_value_get(value.get(), &length);
        data.emplace(bytes, length);
    }
    return errSecSuccess;
}

KeychainStatus keychainAdd(const Dictionary& attributes) {
    Address address;
    const auto* label = findAttr<std::string>(attributes, AttrKey::label);
    const auto* bytes = findAttr<ItemBytes>(attributes, AttrKey::valueData);
    if (!addressOf(attributes, address) || label == nullptr || bytes == nullptr) {
        return errSecParam;
    }
    // The Secret Service would happily store a second item with the same address.
    ItemList existing;
    if (const KeychainStatus status = findItems(address, existing); status != errSecSuccess) {
        return status;
    }
    if (existing) {
        return errSecDuplicateItem;
    }

    SecretService* service = nullptr;
    static_cast<void>(openService(service)); // opened by the search above
    GError* raw = nullptr;
    const CollectionPtr collection(secret_collection_for_alias_sync(
        service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, &raw));
    ErrorPtr error(raw);
    if (error) {
        return statusFor(error.get());
    }
    if (!collection) {
        return errSecNoDefaultKeychain;
    }
    g_dbus_proxy_set_default_timeout(G_DBUS_PROXY(collection.get()), dbusTimeoutMs);
    if (secret_collection_get_locked(collection.get()) != FALSE) {
        return errSecInteractionNotAllowed;
    }

    const HashTablePtr itemAttributes = attributesOf(address);
    const ValuePtr value = secretValueOf(bytes->bytes);
    raw = nullptr;
    const ItemPtr created(secret_item_create_sync(collection.get(), genericSchema(),
                                                  itemAttributes.get(), label->c_str(), value.get(),
                                                  SECRET_ITEM_CREATE_NONE, nullptr, &raw));
    error.reset(raw);
    return created ? errSecSuccess : statusFor(error.get());
}

KeychainStatus keychainUpdate(const Dictionary& query, const Dictionary& attributesToUpdate) {
    Address address;
    const auto* bytes = findAttr<ItemBytes>(attributesToUpdate, AttrKey::valueData);
    if (!addressOf(query, address) || bytes == nullptr) {
        return errSecParam;
    }
    ItemList items;
    if (const KeychainStatus status = findItems(address, items); status != errSecSuccess) {
        return status;
    }
    if (!items) {
        return errSecItemNotFound;
    }
    for (GList* node = items.get(); node != nullptr; node = node->next) {
        if (secret_item_get_locked(itemAt(node)) != FALSE) {
            return errSecInteractionNotAllowed;
        }
    }
    const ValuePtr value = secretValueOf(bytes->bytes);
    for (GList* node = items.get(); node != nullptr; node = node->next) {
        GError* raw = nullptr;
        const gboolean set = secret_item_set_secret_sync(itemAt(node), value.get(), nullptr, &raw);
        const ErrorPtr error(raw);
        if (set == FALSE) {
            return statusFor(error.get());
        }
    }
    return errSecSuccess;
}

KeychainStatus keychainDelete(const Dictionary& query) {
    Address address;
    if (!addressOf(query, address)) {
        return errSecParam;
    }
    ItemList items;
    if (const KeychainStatus status = findItems(address, items); status != errSecSuccess) {
        return status;
    }
    if (!items) {
        return errSecItemNotFound;
    }
    KeychainStatus result = errSecSuccess;
    for (GList* node = items.get(); node != nullptr; node = node->next) {
        // A locked item stays: removing it would need the user, as on a locked login keychain.
        if (secret_item_get_locked(itemAt(node)) != FALSE) {
            result = errSecInteractionNotAllowed;
            continue;
        }
        GError* raw = nullptr;
        const gboolean deleted = secret_item_delete_sync(itemAt(node), nullptr, &raw);
        const ErrorPtr error(raw);
        if (deleted == FALSE) {
            result = statusFor(error.get());
        }
    }
    return result;
}

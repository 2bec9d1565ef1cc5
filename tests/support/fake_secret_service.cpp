// A Secret Service that misbehaves, for the tests of the tool against one; run it on a bus of
// its own. Prints "ready" once it owns the service's name, then the name of every method it is
// called with.
//   fake_secret_service silent    answers nothing at all, not even the proxy's property load
//   fake_secret_service refusing  finds the item but refuses its secret (a D-Bus policy, a
//                                 sandbox filter) and every other call
//   fake_secret_service locked    the same, but the secret is refused as locked (locked again
//                                 between the search and the read)
#include <cstdio>
#include <gio/gio.h>
#include <string_view>

namespace {

bool silent = false;
bool locked = false;

GDBusMessage* answerTo(GDBusMessage* call) {
    const std::string_view member = g_dbus_message_get_member(call);
    if (member == "SearchItems") {
        const gchar* found[] = {"/org/freedesktop/secrets/collection/login/1", nullptr};
        const gchar* none[] = {nullptr};
        GDBusMessage* answer = g_dbus_message_new_method_reply(call);
        g_dbus_message_set_body(answer, g_variant_new("(^ao^ao)", found, none));
        return answer;
    }
    if (member == "OpenSession") {
        const gchar* algorithm = nullptr;
        GVariant* input = nullptr;
        g_variant_get(g_dbus_message_get_body(call), "(&sv)", &algorithm, &input);
        g_variant_unref(input);
        if (std::string_view(algorithm) == "plain") {
            GDBusMessage* answer = g_dbus_message_new_method_reply(call);
            g_dbus_message_set_body(answer, g_variant_new("(vo)", g_variant_new_string(""),
                                                          "/org/freedesktop/secrets/session/1"));
            return answer;
        }
        return g_dbus_message_new_method_error_literal(
            call, "org.freedesktop.DBus.Error.NotSupported", "plain only");
    }
    if (locked && member == "GetSecrets") {
        return g_dbus_message_new_method_error_literal(
            call, "org.freedesktop.Secret.Error.IsLocked", "locked");
    }
    return g_dbus_message_new_method_error_literal(call, "org.freedesktop.DBus.Error.AccessDenied",
                                                   "refused by policy");
}

GDBusMessage* filter(GDBusConnection* bus, GDBusMessage* message, gboolean incoming,
                     gpointer /*data*/) {
    if (incoming == FALSE ||
        g_dbus_message_get_message_type(message) != G_DBUS_MESSAGE_TYPE_METHOD_CALL) {
        return message;
    }
    std::printf("%s\n", g_dbus_message_get_member(message));
    std::fflush(stdout);
    if (!silent) {
        GDBusMessage* answer = answerTo(message);
        g_dbus_connection_send_message(bus, answer, G_DBUS_SEND_MESSAGE_FLAGS_NONE, nullptr,
                                       nullptr);
        g_object_unref(answer);
    }
    g_object_unref(message);
    return nullptr;
}

void acquired(GDBusConnection* /*bus*/, const gchar* /*name*/, gpointer /*data*/) {
    std::printf("ready\n");
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        return 2;
    }
    silent = std::string_view(argv[1]) == "silent";
    locked = std::string_view(argv[1]) == "locked";
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    if (bus == nullptr) {
        return 1;
    }
    g_dbus_connection_add_filter(bus, filter, nullptr, nullptr);
    g_bus_own_name_on_connection(bus, "org.freedesktop.secrets", G_BUS_NAME_OWNER_FLAGS_NONE,
                                 acquired, nullptr, nullptr, nullptr);
    g_main_loop_run(g_main_loop_new(nullptr, FALSE));
}

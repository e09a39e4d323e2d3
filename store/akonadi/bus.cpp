#include "store/akonadi/bus.h"

#include <dbus/dbus.h>

#include <future>
#include <memory>
#include <optional>
#include <string_view>
#include <thread>
#include <utility>

namespace ravu::akonadi {
namespace {

constexpr const char* serverName = "org.freedesktop.Akonadi";
constexpr const char* controlName = "org.freedesktop.Akonadi.Control";

struct Close {
    void operator()(DBusConnection* connection) const {
        dbus_connection_close(connection);
        dbus_connection_unref(connection);
    }
};
using Connection = std::unique_ptr<DBusConnection, Close>;

struct Unref {
    void operator()(DBusMessage* message) const { dbus_message_unref(message); }
};
using Message = std::unique_ptr<DBusMessage, Unref>;

int millisecondsOf(std::chrono::milliseconds limit) {
    return static_cast<int>(std::max<long long>(1, limit.count()));
}

/// A method of the bus itself, answered within the limit; null otherwise.
Message call(DBusConnection* connection, const char* method, std::chrono::milliseconds limit,
             const char* argument = nullptr, std::string* why = nullptr) {
    Message message{dbus_message_new_method_call("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                 "org.freedesktop.DBus", method)};
    if (!message) {
        return nullptr;
    }
    dbus_message_set_auto_start(message.get(), FALSE);
    if (argument != nullptr) {
        const dbus_uint32_t flags = 0;
        if (std::string_view{method} == "StartServiceByName") {
            dbus_message_append_args(message.get(), DBUS_TYPE_STRING, &argument, DBUS_TYPE_UINT32,
                                     &flags, DBUS_TYPE_INVALID);
        } else {
            dbus_message_append_args(message.get(), DBUS_TYPE_STRING, &argument, DBUS_TYPE_INVALID);
        }
    }
    DBusError error;
    dbus_error_init(&error);
    Message reply{dbus_connection_send_with_reply_and_block(connection, message.get(),
                                                            millisecondsOf(limit), &error)};
    if (dbus_error_is_set(&error)) {
        if (why != nullptr) {
            *why = error.message != nullptr ? error.message : "the bus refused";
        }
        dbus_error_free(&error);
    }
    return reply;
}

/// A private connection to the session bus, which the bus library finds and greets; null when
/// there is none. The greeting has no limit of its own: `within` gives it one.
Connection connect() {
    DBusError error;
    dbus_error_init(&error);
    Connection connection{dbus_bus_get_private(DBUS_BUS_SESSION, &error)};
    dbus_error_free(&error);
    if (connection) {
        dbus_connection_set_exit_on_disconnect(connection.get(), FALSE);
    }
    return connection;
}

bool boolean(DBusMessage* reply) {
    dbus_bool_t value = FALSE;
    return reply != nullptr &&
           dbus_message_get_args(reply, nullptr, DBUS_TYPE_BOOLEAN, &value, DBUS_TYPE_INVALID) &&
           value;
}

/// What `ask` gives, or none when it takes longer than `limit`. The bus library waits on a bus
/// that accepts and never answers with no limit while it authenticates, so each question runs on
/// a thread of its own that owns everything it uses, and one that never ends is left behind.
template <typename T, typename Ask>
std::optional<T> within(std::chrono::milliseconds limit, Ask ask) {
    auto task = std::make_shared<std::packaged_task<T()>>(std::move(ask));
    std::future<T> answer = task->get_future();
    std::thread{[task] { (*task)(); }}.detach();
    if (answer.wait_for(limit + std::chrono::milliseconds{100}) != std::future_status::ready) {
        return std::nullopt;
    }
    return answer.get();
}

Presence ask(std::chrono::milliseconds limit) {
    const Connection connection = connect();
    if (!connection) {
        return Presence::silent;
    }
    const Message owned = call(connection.get(), "NameHasOwner", limit, serverName);
    if (!owned) {
        return Presence::silent;
    }
    if (boolean(owned.get())) {
        return Presence::running;
    }
    const Message names = call(connection.get(), "ListActivatableNames", limit);
    if (!names) {
        return Presence::silent;
    }
    char** list = nullptr;
    int count = 0;
    bool found = false;
    if (dbus_message_get_args(names.get(), nullptr, DBUS_TYPE_ARRAY, DBUS_TYPE_STRING, &list,
                              &count, DBUS_TYPE_INVALID)) {
        for (int i = 0; i < count; ++i) {
            found = found || std::string_view{list[i]} == controlName;
        }
        dbus_free_string_array(list);
    }
    return found ? Presence::activatable : Presence::absent;
}

std::pair<bool, std::string> start(std::chrono::milliseconds limit) {
    const Connection connection = connect();
    if (!connection) {
        return {false, "no session bus answers"};
    }
    std::string why;
    const bool started =
        call(connection.get(), "StartServiceByName", limit, controlName, &why) != nullptr;
    return {started, why};
}

}  // namespace

Presence presence(std::chrono::milliseconds limit) {
    return within<Presence>(limit, [limit] { return ask(limit); }).value_or(Presence::silent);
}

bool activate(std::chrono::milliseconds limit, std::string& why) {
    const auto started = within<std::pair<bool, std::string>>(limit, [limit] {
                             return start(limit);
                         }).value_or(std::pair{false, std::string{"no session bus answers"}});
    why = started.second;
    return started.first;
}

}  // namespace ravu::akonadi

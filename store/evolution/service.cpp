// Reaching the service: the session bus, the registry of sources, and each calendar opened once
// per run.
#include <exception>

#include "store/evolution/evolution_store.h"
#include "store/evolution/waiting.h"

namespace ravu::evolution {
namespace {

constexpr const char* registryName = "org.gnome.evolution.dataserver.Sources5";
constexpr const char* registryPath = "/org/gnome/evolution/dataserver/SourceManager";

/// The kind of a failure the bus or the service reported.
ErrorKind kindOf(const GError* error) {
    if (error == nullptr) {
        return ErrorKind::storage;
    }
    if (error->domain == G_IO_ERROR) {
        return error->code == G_IO_ERROR_TIMED_OUT || error->code == G_IO_ERROR_CANCELLED
                   ? ErrorKind::timedOut
                   : ErrorKind::storage;
    }
    if (error->domain == G_DBUS_ERROR) {
        switch (error->code) {
            case G_DBUS_ERROR_TIMEOUT:
            case G_DBUS_ERROR_TIMED_OUT:
            case G_DBUS_ERROR_NO_REPLY:
                return ErrorKind::timedOut;
            case G_DBUS_ERROR_ACCESS_DENIED:
            case G_DBUS_ERROR_AUTH_FAILED:
            case G_DBUS_ERROR_SERVICE_UNKNOWN:
            case G_DBUS_ERROR_NAME_HAS_NO_OWNER:
            case G_DBUS_ERROR_SPAWN_SERVICE_NOT_FOUND:
            case G_DBUS_ERROR_SPAWN_PERMISSIONS_INVALID:
            case G_DBUS_ERROR_SPAWN_FILE_INVALID:
            case G_DBUS_ERROR_SPAWN_EXEC_FAILED:
            case G_DBUS_ERROR_SPAWN_FAILED:
                return ErrorKind::refused;
            default:
                return ErrorKind::storage;
        }
    }
    if (error->domain == E_CLIENT_ERROR) {
        return error->code == E_CLIENT_ERROR_CANCELLED           ? ErrorKind::timedOut
               : error->code == E_CLIENT_ERROR_PERMISSION_DENIED ? ErrorKind::refused
                                                                 : ErrorKind::storage;
    }
    if (error->domain == E_CAL_CLIENT_ERROR) {
        return error->code == E_CAL_CLIENT_ERROR_OBJECT_NOT_FOUND ||
                       error->code == E_CAL_CLIENT_ERROR_NO_SUCH_CALENDAR
                   ? ErrorKind::gone
                   : ErrorKind::storage;
    }
    return ErrorKind::storage;
}

}  // namespace

/// The failure the bus or the service reported, as the store's error.
StoreError failureOf(GError* error) {
    const ErrorKind kind = kindOf(error);
    if (error != nullptr) {
        g_dbus_error_strip_remote_error(error);  // "GDBus.Error:<name>: " tells a host nothing
    }
    return StoreError{messageOf(Error{error}), kind};
}

Result<GDBusConnection*> EvolutionStore::bus() const {
    if (!triedBus_) {
        triedBus_ = true;
        Waiting wait{callEnd(), *clock_};
        if (GAsyncResult* result =
                wait([](auto... call) { g_bus_get(G_BUS_TYPE_SESSION, call...); })) {
            GError* error = nullptr;
            bus_.reset(g_bus_get_finish(result, &error));
            if (!bus_) {
                busFailure_ = failureOf(error);
            } else {
                // A bus that goes away ends the run's calls with errors, not the process.
                g_dbus_connection_set_exit_on_close(bus_.get(), FALSE);
            }
        } else {
            busFailure_ = StoreError{"the session bus did not answer in time", ErrorKind::timedOut};
        }
    }
    if (busFailure_) {
        return *busFailure_;
    }
    return bus_.get();
}

Result<Variant> EvolutionStore::ask(const char* name, const char* path, const char* interface,
                                    const char* method, GVariant* arguments, const char* replyType,
                                    bool autoStart) const {
    Variant owned{arguments != nullptr ? g_variant_ref_sink(arguments) : nullptr};
    const auto connection = bus();
    if (!connection) {
        return connection.error();
    }
    const auto limit =
        std::chrono::ceil<std::chrono::milliseconds>(callEnd() - clock_->monotonic());
    Waiting wait{callEnd(), *clock_};
    GAsyncResult* result = wait([&](auto... call) {
        g_dbus_connection_call(*connection, name, path, interface, method, owned.get(),
                               G_VARIANT_TYPE(replyType),
                               autoStart ? G_DBUS_CALL_FLAGS_NONE : G_DBUS_CALL_FLAGS_NO_AUTO_START,
                               static_cast<gint>(std::max<long>(limit.count(), 1)), call...);
    });
    if (result == nullptr) {
        return outOfTime();
    }
    GError* error = nullptr;
    Variant reply{g_dbus_connection_call_finish(*connection, result, &error)};
    if (!reply) {
        return failureOf(error);
    }
    return reply;
}

std::optional<StoreError> EvolutionStore::registryAnswers(bool start) const {
    // A ping reaches the registry itself: a bus whose policy refuses the service, or a service
    // that hangs, fails it.
    const auto ping = [&] {
        const auto pong = ask(registryName, registryPath, "org.freedesktop.DBus.Peer", "Ping",
                              nullptr, "()", start);
        return pong ? std::nullopt : std::optional{pong.error()};
    };
    if (start) {
        return ping();
    }
    const auto owned = ask("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                           "NameHasOwner", g_variant_new("(s)", registryName), "(b)", false);
    if (!owned) {
        return owned.error();
    }
    gboolean runs = FALSE;
    g_variant_get(owned->get(), "(b)", &runs);
    if (runs) {
        return ping();
    }
    const auto names = ask("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                           "ListActivatableNames", nullptr, "(as)", false);
    if (!names) {
        return names.error();
    }
    GVariantIter* iter = nullptr;
    const gchar* name = nullptr;
    bool activatable = false;
    g_variant_get(names->get(), "(as)", &iter);
    while (g_variant_iter_loop(iter, "&s", &name)) {
        activatable = activatable || std::string_view{name} == registryName;
    }
    g_variant_iter_free(iter);
    if (!activatable) {
        return StoreError{"the calendar service is not installed", ErrorKind::refused};
    }
    return std::nullopt;
}

/// Running and answering, or started on demand by the bus: asked without starting anything.
AuthorizationStatus EvolutionStore::authorizationStatus() const {
    return registryAnswers(false) ? AuthorizationStatus::denied : AuthorizationStatus::fullAccess;
}

Result<ESourceRegistry*> EvolutionStore::registry() const {
    if (!triedRegistry_) {
        triedRegistry_ = true;
        // Only a registry that answers is taken: one made on a bus without the service would
        // simply list no calendars.
        registryFailure_ = registryAnswers(true);
        if (!registryFailure_) {
            Waiting wait{callEnd(), *clock_};
            if (GAsyncResult* result = wait([](auto... call) { e_source_registry_new(call...); })) {
                GError* error = nullptr;
                registry_.reset(e_source_registry_new_finish(result, &error));
                if (!registry_) {
                    registryFailure_ = failureOf(error);
                }
            } else {
                registryFailure_ = outOfTime();
            }
        }
        if (registryFailure_) {
            *diagnostics_ << "ravu-calendar: the calendar service cannot be reached: "
                          << registryFailure_->message << '\n';
        }
    }
    if (registryFailure_) {
        return *registryFailure_;
    }
    return registry_.get();
}

Result<Ref<ESource>> EvolutionStore::calendarSource(const std::string& uid) const {
    const auto sources = registry();
    if (!sources) {
        return sources.error();
    }
    Ref<ESource> source{uid.empty() ? nullptr
                                    : e_source_registry_ref_source(*sources, uid.c_str())};
    if (!source || !e_source_has_extension(source.get(), E_SOURCE_EXTENSION_CALENDAR) ||
        !e_source_registry_check_enabled(*sources, source.get())) {
        return noSuchCalendar(uid);
    }
    return source;
}

void EvolutionStore::connectAll(const std::vector<std::string>& uids) const {
    struct Opening {
        std::string uid;
        std::unique_ptr<Waiting> wait;
    };
    std::vector<Opening> openings;
    const auto until = callEnd();
    for (const std::string& uid : uids) {
        if (connections_.contains(uid)) {
            continue;
        }
        auto source = calendarSource(uid);
        if (!source) {
            connections_.emplace(uid, Connection{nullptr, source.error()});
            continue;
        }
        // No waiting for a remote backend to come online: it opens offline, on its cache.
        auto wait = std::make_unique<Waiting>(until, *clock_);
        wait->start([&](auto... call) {
            e_cal_client_connect(source->get(), E_CAL_CLIENT_SOURCE_TYPE_EVENTS,
                                 static_cast<guint32>(-1), call...);
        });
        openings.push_back({uid, std::move(wait)});
    }
    // All of them are on their way at once: one that does not answer holds up no other.
    for (Opening& opening : openings) {
        Connection connection;
        if (GAsyncResult* result = opening.wait->result()) {
            GError* error = nullptr;
            connection.client.reset(E_CAL_CLIENT(e_cal_client_connect_finish(result, &error)));
            if (!connection.client) {
                connection.failure = failureOf(error);
            }
        } else {
            connection.failure = outOfTime();
        }
        connections_.emplace(opening.uid, std::move(connection));
    }
}

Result<ECalClient*> EvolutionStore::connect(const std::string& uid) const {
    connectAll({uid});
    const Connection& connection = connections_.at(uid);
    if (connection.failure) {
        return *connection.failure;
    }
    return connection.client.get();
}

StoreError EvolutionStore::notAnswering(const std::string& uid) const {
    connections_[uid].failure = outOfTime();
    return outOfTime();
}

}  // namespace ravu::evolution

extern "C" __attribute__((visibility("default"))) ravu::Store* ravu_calendar_evolution_store(
    const ravu::ModuleSettings* settings) {
    try {
        return new ravu::evolution::EvolutionStore(*settings);
    } catch (const std::exception&) {
        return nullptr;
    }
}

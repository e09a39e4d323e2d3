// The GNOME store: the user's own calendars in evolution-data-server, the calendar service of
// the GNOME desktop, where every account the user set up shows up and where every calendar
// application of the desktop reads and writes.
//
// The service hands out parsed components; the format layer reads them, expands series with the
// program's own expander and makes every edit, and this store writes the edited components back.
// Nothing here reads or writes iCalendar text.
//
// Every call to the bus or the service is made asynchronously and waited for on this thread for
// at most `callLimit` (`readLimit` to read a whole calendar) and never past the run's deadline;
// one that does not end in time is cancelled and left behind. A calendar that did not answer once
// is not asked again in the run, so that one slow server or a stuck service costs a run one wait,
// not one per entry.
#include <libecal/libecal.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <map>
#include <set>
#include <tuple>

#include "store/deadline.h"
#include "store/ical/item.h"
#include "store/lock.h"
#include "store/module.h"
#include "store/policy.h"
#include "store/uid.h"

namespace ravu {
namespace {

constexpr const char* registryName = "org.gnome.evolution.dataserver.Sources5";
constexpr const char* registryPath = "/org/gnome/evolution/dataserver/SourceManager";

struct Unref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
template <typename T>
using Ref = std::unique_ptr<T, Unref>;

struct VariantUnref {
    void operator()(GVariant* value) const { g_variant_unref(value); }
};
using Variant = std::unique_ptr<GVariant, VariantUnref>;

struct ErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};
using Error = std::unique_ptr<GError, ErrorFree>;

/// Lists of objects the service hands out, each holding a reference.
struct ListFree {
    void operator()(GSList* list) const { g_slist_free_full(list, g_object_unref); }
    void operator()(GList* list) const { g_list_free_full(list, g_object_unref); }
};
using Components = std::unique_ptr<GSList, ListFree>;
using Sources = std::unique_ptr<GList, ListFree>;

std::string messageOf(const Error& error) {
    return error ? error->message : "unknown error";
}

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

/// The failure the bus or the service reported, as the store's error.
StoreError failureOf(GError* error) {
    const ErrorKind kind = kindOf(error);
    if (error != nullptr) {
        g_dbus_error_strip_remote_error(error);  // "GDBus.Error:<name>: " tells a host nothing
    }
    return StoreError{messageOf(Error{error}), kind};
}

/// One asynchronous call, waited for on this thread's main context until it ends or its time is
/// up; then it is cancelled and left behind. What the call's callback writes outlives the wait,
/// for a callback that comes after it.
class Waiting {
  public:
    Waiting(Clock::Monotonic until, const Clock& clock)
        : until_{until}, clock_{&clock}, pending_{new Pending}, cancellable_{g_cancellable_new()} {}
    ~Waiting() {
        g_cancellable_cancel(cancellable_.get());
        release(pending_);
    }
    Waiting(const Waiting&) = delete;
    Waiting& operator=(const Waiting&) = delete;

    /// Starts the call with `begin(cancellable, callback, data)`, unless its time is up.
    template <typename Begin>
    void start(Begin&& begin) {
        if (clock_->monotonic() < until_) {
            ++pending_->holders;
            started_ = true;
            begin(cancellable_.get(), &Waiting::done, static_cast<gpointer>(pending_));
        }
    }
    /// The call's result while this lives, or null when it did not end in time (or was never
    /// started). Other calls started meanwhile go on while this waits.
    GAsyncResult* result() { return started_ ? wait() : nullptr; }
    /// Starts the call and waits for it.
    template <typename Begin>
    GAsyncResult* operator()(Begin&& begin) {
        start(std::forward<Begin>(begin));
        return result();
    }

  private:
    struct Pending {
        GAsyncResult* result = nullptr;
        int holders = 1;  ///< the wait, and the call until its callback came
    };
    static void release(Pending* pending) {
        if (--pending->holders == 0) {
            if (pending->result != nullptr) {
                g_object_unref(pending->result);
            }
            delete pending;
        }
    }
    static void done(GObject*, GAsyncResult* result, gpointer data) {
        auto* pending = static_cast<Pending*>(data);
        pending->result = G_ASYNC_RESULT(g_object_ref(result));
        release(pending);
    }
    GAsyncResult* wait() {
        GMainContext* context = g_main_context_default();
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(until_ - clock_->monotonic());
        bool late = left.count() <= 0;
        GSource* timer = g_timeout_source_new(static_cast<guint>(std::max<long>(left.count(), 0)));
        g_source_set_callback(
            timer,
            [](gpointer flag) {
                *static_cast<bool*>(flag) = true;
                return G_SOURCE_REMOVE;
            },
            &late, nullptr);
        g_source_attach(timer, context);
        while (pending_->result == nullptr && !late) {
            g_main_context_iteration(context, TRUE);
        }
        g_source_destroy(timer);
        g_source_unref(timer);
        if (pending_->result == nullptr) {
            g_cancellable_cancel(cancellable_.get());
        }
        return pending_->result;
    }

    Clock::Monotonic until_;
    const Clock* clock_;
    Pending* pending_;
    Ref<GCancellable> cancellable_;
    bool started_ = false;
};

/// The libical component inside a component of the service, borrowed from it.
ical::ComponentRef partOf(ICalComponent* component) {
    return ical::ComponentRef{static_cast<ical::ComponentRef::native_type>(
        i_cal_object_get_native(I_CAL_OBJECT(component)))};
}

std::vector<ical::ComponentRef> refsOf(const std::vector<ECalComponent*>& parts) {
    std::vector<ical::ComponentRef> refs;
    for (ECalComponent* part : parts) {
        refs.push_back(partOf(e_cal_component_get_icalcomponent(part)));
    }
    return refs;
}

/// A part of an item to be written, as a component of the service.
Result<Ref<ICalComponent>> componentOf(const ical::ChangedPart& part) {
    Ref<ICalComponent> component{i_cal_component_new_from_string(part.text.c_str())};
    if (!component) {
        return StoreError{"the event cannot be saved: its text does not read back"};
    }
    return component;
}

/// The changed occurrence a component stands for, as the service names it.
std::string recurrenceIdOf(ECalComponent* component) {
    gchar* rid =
        e_cal_util_component_get_recurid_as_string(e_cal_component_get_icalcomponent(component));
    std::string text = rid != nullptr ? rid : "";
    g_free(rid);
    return text;
}

/// Backends whose calendars never take changes: subscriptions, birthdays, the weather.
bool readOnlyBackend(std::string_view backend) {
    return backend == "webcal" || backend == "contacts" || backend == "weather";
}

SourceType typeOf(std::string_view backend) {
    if (backend == "local") {
        return SourceType::local;
    }
    if (backend == "caldav" || backend == "google") {
        return SourceType::calDAV;
    }
    if (backend == "ews" || backend == "microsoft365" || backend == "mapi" ||
        backend.starts_with("exchange")) {
        return SourceType::exchange;
    }
    if (backend == "webcal") {
        return SourceType::subscribed;
    }
    if (backend == "contacts") {
        return SourceType::birthdays;
    }
    return SourceType::other;
}

/// An event's identifier: the calendar's source UID, "/", the event's UID. Source UIDs hold no
/// "/", event UIDs may.
std::optional<std::pair<std::string, std::string>> splitIdentifier(std::string_view identifier) {
    const auto slash = identifier.find('/');
    if (slash == std::string_view::npos || slash == 0 || slash + 1 == identifier.size()) {
        return std::nullopt;
    }
    return std::pair{std::string{identifier.substr(0, slash)},
                     std::string{identifier.substr(slash + 1)}};
}

/// The service's query for the components of a window. A look-up of a few days asks the service
/// for the series that may reach into it (with two days to spare for floating and all-day
/// times, which the service may place in another zone); anything longer takes every component,
/// which costs less than the service's own expansion of each series.
std::string queryFor(const EventPredicate& predicate) {
    if (predicate.end - predicate.start > date::days{7}) {
        return "#t";
    }
    const auto text = [](Instant instant) {
        return "(make-time \"" +
               date::format("%Y%m%dT%H%M%SZ", date::floor<std::chrono::seconds>(instant)) + "\")";
    };
    return "(occur-in-time-range? " + text(predicate.start - date::days{2}) + " " +
           text(predicate.end + date::days{2}) + ")";
}

class EvolutionStore final : public Store {
  public:
    explicit EvolutionStore(const ModuleSettings& settings)
        : diagnostics_{settings.diagnostics},
          zone_{settings.zone},
          deadline_{settings.deadline != nullptr ? settings.deadline : &never_},
          clock_{settings.clock},
          lock_{settings.lockFolder, *settings.clock} {}

    AuthorizationStatus authorizationStatus() const override;
    bool requestFullAccess() override { return !registryAnswers(true); }
    Result<std::vector<Calendar>> calendars(Listing listing) const override;
    [[nodiscard]] WriteError calendarTakesChanges(std::string_view calendarId) const override;
    Result<std::vector<Event>> eventsMatching(const EventPredicate& predicate) const override;
    Result<std::vector<Event>> itemEventsMatching(std::string_view identifier, Instant start,
                                                  Instant end) const override;
    Result<Event> calendarItemWithIdentifier(std::string_view identifier) const override;
    Event newEvent() override { return Event{}; }
    [[nodiscard]] WriteError beginChanges() override;
    [[nodiscard]] WriteError saveEvent(Event& event, Span span, Changes changes) override;
    [[nodiscard]] WriteError removeEvent(const Event& event, Span span) override;

  private:
    /// A calendar as the run opened it; once it failed to answer, only why.
    struct Connection {
        Ref<ECalClient> client;
        std::optional<StoreError> failure;
    };
    /// The item as the service holds it now, with the version it was read at and the service's
    /// own components it was made of.
    struct Stored {
        ical::Item item;
        std::string version;
        Components held;
        std::vector<ECalComponent*> parts;
    };
    /// An item of a calendar's listing; its version only once the run holds its lock.
    struct Listed {
        std::string identifier;
        ical::Item item;
        std::string version;
    };

    /// The end of one call made now.
    Clock::Monotonic callEnd() const { return deadline_->within(callLimit, clock_->monotonic()); }
    /// The session bus, connected once per run.
    Result<GDBusConnection*> bus() const;
    /// None when the service's registry answers a call: one that may start it, or (`start`
    /// false) one made only when it runs already; when it does not run, whether the bus could
    /// start it.
    std::optional<StoreError> registryAnswers(bool start) const;
    /// A call to the bus itself or to the registry, with its reply.
    Result<Variant> ask(const char* name, const char* path, const char* interface,
                        const char* method, GVariant* arguments, const char* replyType,
                        bool autoStart) const;
    Result<ESourceRegistry*> registry() const;
    /// The enabled event calendar of that UID, or why there is none.
    Result<Ref<ESource>> calendarSource(const std::string& uid) const;
    /// Opens the calendars at once, each once per run; those that do not answer in time are
    /// left behind.
    void connectAll(const std::vector<std::string>& uids) const;
    /// The calendar opened, or why it is not.
    Result<ECalClient*> connect(const std::string& uid) const;
    /// What a call on the calendar that did not end in time gives; the calendar is not asked
    /// again in this run.
    StoreError notAnswering(const std::string& uid) const;
    /// The item made of the components; `timedOut` when one of its zones could not be had in
    /// time, another error (told once) when it cannot be read.
    Result<ical::Item> itemOf(const std::string& calendar, ECalClient* client,
                              const std::vector<ECalComponent*>& parts, ical::Keep keep) const;
    Result<Stored> read(const std::string& identifier, ical::Keep keep) const;
    /// The item read whole for a write; an error saying it was not `refused` ("overwritten",
    /// "removed") when another program changed it since the run saw it.
    Result<Stored> unchangedSinceSeen(const std::string& identifier, const char* refused) const;
    /// Each readable item of the calendar that the service's query selects, read now; an error
    /// when the calendar cannot be read in full.
    WriteError fetch(const std::string& calendar, const std::string& query,
                     const std::function<void(Listed&&)>& visit) const;
    /// After a write: the item read again into its calendar's listing, if the run keeps one.
    void relist(const std::string& identifier);
    /// The opened client of a calendar that takes changes.
    Result<ECalClient*> writable(const std::string& calendar);
    WriteError takeLock();
    WriteError create(Event& event);
    WriteError update(Event& event, Span span, Changes changes);
    WriteError remove(const Event& event, Span span);
    /// Writes what the format layer changed in the item back to the service.
    WriteError writeBack(const std::string& calendar, ECalClient* client, const std::string& uid,
                         const Stored& stored);
    /// Waits for a write on the calendar; its failure, if any.
    template <typename Begin, typename Finish>
    WriteError written(const std::string& calendar, Begin&& begin, Finish&& finish);

    static inline const Deadline never_{};
    std::ostream* diagnostics_;
    const TimeZone* zone_;
    const Deadline* deadline_;
    const Clock* clock_;
    mutable bool triedBus_ = false;
    mutable Ref<GDBusConnection> bus_;
    mutable std::optional<StoreError> busFailure_;
    mutable bool triedRegistry_ = false;
    mutable Ref<ESourceRegistry> registry_;
    mutable std::optional<StoreError> registryFailure_;
    mutable std::map<std::string, Connection> connections_;
    /// By calendar, what the run read once it held its lock.
    mutable std::map<std::string, std::vector<Listed>> listings_;
    mutable std::set<std::string> told_;
    /// The version of each item this run saw first once it began its changes: a write never
    /// overwrites what another program changed after that.
    mutable std::map<std::string, std::string> seen_;
    WriteLock lock_;
    WriteError lockFailure_;
};

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

Result<std::vector<Calendar>> EvolutionStore::calendars(Listing listing) const {
    const auto sources = registry();
    if (!sources) {
        return sources.error();
    }
    std::vector<Calendar> found;
    Sources listed{e_source_registry_list_enabled(*sources, E_SOURCE_EXTENSION_CALENDAR)};
    for (GList* at = listed.get(); at != nullptr; at = at->next) {
        auto* source = static_cast<ESource*>(at->data);
        auto* extension = static_cast<ESourceSelectable*>(
            e_source_get_extension(source, E_SOURCE_EXTENSION_CALENDAR));
        const char* backend = e_source_backend_get_backend_name(E_SOURCE_BACKEND(extension));
        Calendar calendar;
        calendar.identifier = e_source_get_uid(source);
        calendar.title = e_source_get_display_name(source);
        Source owner{"", typeOf(backend != nullptr ? backend : "")};
        if (const char* parentUid = e_source_get_parent(source)) {
            if (Ref<ESource> parent{e_source_registry_ref_source(*sources, parentUid)}) {
                owner.title = e_source_get_display_name(parent.get());
            }
        }
        calendar.source = owner;
        gchar* color = e_source_selectable_dup_color(extension);
        calendar.color = colorOf(color != nullptr ? color : "", ColorText::rgb);
        g_free(color);
        calendar.allowsContentModifications = !readOnlyBackend(backend != nullptr ? backend : "");
        found.push_back(std::move(calendar));
    }
    if (listing == Listing::complete) {
        // Only an opened calendar tells whether it takes changes.
        std::vector<std::string> uids;
        for (const Calendar& calendar : found) {
            uids.push_back(calendar.identifier);
        }
        connectAll(uids);
        for (Calendar& calendar : found) {
            const Connection& connection = connections_.at(calendar.identifier);
            if (connection.failure) {
                *diagnostics_ << "ravu-calendar: the calendar " << calendar.identifier
                              << " cannot be opened; it is listed as not writable: "
                              << connection.failure->message << '\n';
            }
            calendar.allowsContentModifications =
                calendar.allowsContentModifications && !connection.failure &&
                !e_client_is_readonly(E_CLIENT(connection.client.get()));
        }
    }
    std::sort(found.begin(), found.end(), [](const Calendar& a, const Calendar& b) {
        return std::tie(a.source->title, a.title, a.identifier) <
               std::tie(b.source->title, b.title, b.identifier);
    });
    return found;
}

WriteError EvolutionStore::calendarTakesChanges(std::string_view calendarId) const {
    const auto client = connect(std::string{calendarId});
    if (!client) {
        return client.error();
    }
    // The service takes writes into a read-only calendar and then drops them.
    if (e_client_is_readonly(E_CLIENT(*client))) {
        return readOnly();
    }
    return std::nullopt;
}

Result<ical::Item> EvolutionStore::itemOf(const std::string& calendar, ECalClient* client,
                                          const std::vector<ECalComponent*>& parts,
                                          ical::Keep keep) const {
    const std::vector<ical::ComponentRef> natives = refsOf(parts);
    const std::string identifier = calendar + "/" + natives.front().uid();
    // The calendar's own zones, for TZIDs the zone database does not know; the client keeps them.
    bool late = false;
    const auto zoneOf = [&](const std::string& tzid) -> ical::ComponentRef {
        Waiting wait{callEnd(), *clock_};
        GAsyncResult* result =
            wait([&](auto... call) { e_cal_client_get_timezone(client, tzid.c_str(), call...); });
        if (result == nullptr) {
            late = true;
            return {};
        }
        ICalTimezone* zone = nullptr;
        GError* error = nullptr;
        if (!e_cal_client_get_timezone_finish(client, result, &zone, &error) || zone == nullptr) {
            Error{error};
            return {};
        }
        // The client keeps the zone, and the zone its component.
        Ref<ICalComponent> component{i_cal_timezone_get_component(zone)};
        return component ? partOf(component.get()) : ical::ComponentRef{};
    };
    auto item = ical::Item::fromComponents(
        natives, {identifier, calendar, std::nullopt, identifier}, *zone_, keep, zoneOf);
    if (late) {
        return notAnswering(calendar);
    }
    if (!item) {
        if (told_.insert(identifier).second) {
            *diagnostics_ << "ravu-calendar: skipping unreadable event " << identifier << '\n';
        }
        return StoreError{"the event " + identifier + " cannot be read"};
    }
    if (!item->notes().empty() && told_.insert(identifier).second) {
        for (const std::string& note : item->notes()) {
            *diagnostics_ << itemLine(identifier, note) << '\n';
        }
    }
    return std::move(*item);
}

WriteError EvolutionStore::fetch(const std::string& calendar, const std::string& query,
                                 const std::function<void(Listed&&)>& visit) const {
    const auto client = connect(calendar);
    if (!client) {
        return client.error();
    }
    Waiting wait{deadline_->within(readLimit, clock_->monotonic()), *clock_};
    GAsyncResult* result = wait([&](auto... call) {
        e_cal_client_get_object_list_as_comps(*client, query.c_str(), call...);
    });
    if (result == nullptr) {
        return notAnswering(calendar);
    }
    GSList* listed = nullptr;
    GError* error = nullptr;
    if (!e_cal_client_get_object_list_as_comps_finish(*client, result, &listed, &error)) {
        return failureOf(error);
    }
    Components owned{listed};
    // A series comes with its changed occurrences, as components of one UID.
    std::map<std::string, std::vector<ECalComponent*>> items;
    for (GSList* at = listed; at != nullptr; at = at->next) {
        auto* component = static_cast<ECalComponent*>(at->data);
        items[partOf(e_cal_component_get_icalcomponent(component)).uid()].push_back(component);
    }
    for (const auto& [uid, parts] : items) {
        auto item = itemOf(calendar, *client, parts, ical::Keep::model);
        if (item) {
            visit(Listed{calendar + "/" + uid, std::move(*item),
                         lock_.held() ? ical::versionOf(refsOf(parts)) : std::string{}});
        } else if (item.error().kind == ErrorKind::timedOut) {
            return item.error();  // the rest of the calendar would be read without its zones
        }
    }
    return std::nullopt;
}

void EvolutionStore::relist(const std::string& identifier) {
    const auto name = splitIdentifier(identifier);
    const auto listing = name ? listings_.find(name->first) : listings_.end();
    if (listing == listings_.end()) {
        return;
    }
    std::erase_if(listing->second,
                  [&](const Listed& listed) { return listed.identifier == identifier; });
    auto stored = read(identifier, ical::Keep::model);
    if (stored) {
        listing->second.push_back(Listed{identifier, std::move(stored->item), stored->version});
    } else if (!stored.gone()) {
        listings_.erase(listing);  // read whole again when it is next asked for
    }
}

Result<std::vector<Event>> EvolutionStore::eventsMatching(const EventPredicate& predicate) const {
    std::vector<std::string> calendars;
    if (predicate.calendarIds) {
        calendars = *predicate.calendarIds;
    } else if (const auto sources = registry()) {
        Sources listed{e_source_registry_list_enabled(*sources, E_SOURCE_EXTENSION_CALENDAR)};
        for (GList* at = listed.get(); at != nullptr; at = at->next) {
            calendars.emplace_back(e_source_get_uid(static_cast<ESource*>(at->data)));
        }
    } else {
        return sources.error();
    }
    std::sort(calendars.begin(), calendars.end());
    calendars.erase(std::unique(calendars.begin(), calendars.end()), calendars.end());

    const std::string query = queryFor(predicate);
    std::vector<Event> found;
    const auto add = [&](const Listed& listed) {
        const std::size_t room = roomFor(found.size());
        if (!listed.item.occurrences(predicate.start, predicate.end, found, room) &&
            told_.insert(listed.identifier + " dense").second) {
            *diagnostics_ << itemLine(listed.identifier, cutShort(room)) << '\n';
        }
        if (lock_.held()) {
            seen_.emplace(listed.identifier, listed.version);
        }
    };
    for (const std::string& calendar : calendars) {
        // Once the run holds its lock, each calendar is read whole once and kept, and the run's
        // writes keep it up to date: look-ups then cost no call to the service. Before that
        // only one calendar's items are in memory at a time.
        if (!lock_.held()) {
            if (WriteError error = fetch(calendar, query, add)) {
                return std::move(*error);
            }
            continue;
        }
        auto listing = listings_.find(calendar);
        if (listing == listings_.end()) {
            std::vector<Listed> read;
            if (WriteError error = fetch(
                    calendar, "#t", [&](Listed&& listed) { read.push_back(std::move(listed)); })) {
                return std::move(*error);
            }
            listing = listings_.emplace(calendar, std::move(read)).first;
        }
        for (const Listed& listed : listing->second) {
            add(listed);
        }
    }
    inQueryOrder(found);
    return found;
}

Result<std::vector<Event>> EvolutionStore::itemEventsMatching(std::string_view identifier,
                                                              Instant start, Instant end) const {
    std::vector<Event> found;
    // A calendar the locked run keeps answers from its copy, as `eventsMatching` does.
    const auto name = splitIdentifier(identifier);
    if (const auto listing = name ? listings_.find(name->first) : listings_.end();
        lock_.held() && listing != listings_.end()) {
        for (const Listed& listed : listing->second) {
            if (listed.identifier == identifier) {
                listed.item.occurrences(start, end, found);
                seen_.emplace(identifier, listed.version);
            }
        }
        inQueryOrder(found);
        return found;
    }
    auto stored = read(std::string{identifier}, ical::Keep::model);
    if (!stored) {
        return stored.gone() ? Result<std::vector<Event>>{found} : stored.error();
    }
    if (lock_.held()) {
        seen_.emplace(identifier, stored->version);
    }
    stored->item.occurrences(start, end, found);
    inQueryOrder(found);
    return found;
}

Result<EvolutionStore::Stored> EvolutionStore::read(const std::string& identifier,
                                                    ical::Keep keep) const {
    const auto name = splitIdentifier(identifier);
    if (!name) {
        return eventGone();
    }
    const auto client = connect(name->first);
    if (!client) {
        return client.error();  // `gone` with its calendar
    }
    Waiting wait{callEnd(), *clock_};
    GAsyncResult* result = wait([&](auto... call) {
        e_cal_client_get_objects_for_uid(*client, name->second.c_str(), call...);
    });
    if (result == nullptr) {
        return notAnswering(name->first);
    }
    GSList* listed = nullptr;
    GError* error = nullptr;
    if (!e_cal_client_get_objects_for_uid_finish(*client, result, &listed, &error)) {
        const StoreError failure = failureOf(error);
        return failure.kind == ErrorKind::gone ? eventGone() : failure;
    }
    Components owned{listed};
    std::vector<ECalComponent*> parts;
    for (GSList* at = listed; at != nullptr; at = at->next) {
        parts.push_back(static_cast<ECalComponent*>(at->data));
    }
    if (parts.empty()) {
        return eventGone();
    }
    auto item = itemOf(name->first, *client, parts, keep);
    if (!item) {
        return item.error();
    }
    std::string version = ical::versionOf(refsOf(parts));
    return Stored{std::move(*item), std::move(version), std::move(owned), std::move(parts)};
}

Result<Event> EvolutionStore::calendarItemWithIdentifier(std::string_view identifier) const {
    auto stored = read(std::string{identifier}, ical::Keep::model);
    if (!stored) {
        return stored.error();
    }
    if (lock_.held()) {
        seen_.emplace(identifier, stored->version);
    }
    return stored->item.event();
}

WriteError EvolutionStore::beginChanges() {
    if (!lock_.held()) {
        lockFailure_ = lock_.acquire();
    }
    return lockFailure_;
}

WriteError EvolutionStore::takeLock() {
    return lockFailure_ ? lockFailure_ : lock_.acquire();
}

Result<ECalClient*> EvolutionStore::writable(const std::string& calendar) {
    if (auto error = takeLock()) {
        return *error;
    }
    if (auto refused = calendarTakesChanges(calendar)) {
        return *refused;
    }
    return *connect(calendar);
}

template <typename Begin, typename Finish>
WriteError EvolutionStore::written(const std::string& calendar, Begin&& begin, Finish&& finish) {
    Waiting wait{callEnd(), *clock_};
    GAsyncResult* result = wait(std::forward<Begin>(begin));
    if (result == nullptr) {
        // The service may still carry the write out after the run has gone.
        return notAnswering(calendar);
    }
    GError* error = nullptr;
    if (!finish(result, &error)) {
        return failureOf(error);
    }
    return std::nullopt;
}

WriteError EvolutionStore::saveEvent(Event& event, Span span, Changes changes) {
    return guarded("saved", [&] {
        WriteError error = event.identifier.empty() ? create(event) : update(event, span, changes);
        relist(event.identifier);
        return error;
    });
}

WriteError EvolutionStore::removeEvent(const Event& event, Span span) {
    return guarded("removed", [&] {
        WriteError error = remove(event, span);
        relist(event.identifier);
        return error;
    });
}

WriteError EvolutionStore::create(Event& event) {
    if (event.calendarId.empty()) {
        return noCalendar();
    }
    const auto client = writable(event.calendarId);
    if (!client) {
        return client.error();
    }
    const std::string uid = newUid();
    const std::string identifier = event.calendarId + "/" + uid;
    auto item =
        ical::Item::create(event, uid, {identifier, event.calendarId, std::nullopt, identifier},
                           *zone_, clock_->wall());
    if (auto* error = std::get_if<StoreError>(&item)) {
        return *error;
    }
    for (const ical::ChangedPart& part : std::get<ical::Item>(item).changedSince({}).written) {
        const auto component = componentOf(part);
        if (!component) {
            return component.error();
        }
        gchar* made = nullptr;
        WriteError error = written(
            event.calendarId,
            [&](auto... call) {
                e_cal_client_create_object(*client, component->get(), E_CAL_OPERATION_FLAG_NONE,
                                           call...);
            },
            [&](GAsyncResult* result, GError** failure) {
                return e_cal_client_create_object_finish(*client, result, &made, failure);
            });
        if (error) {
            return error;
        }
        event.identifier = event.calendarId + "/" + (made != nullptr ? made : uid);
        g_free(made);
    }
    return std::nullopt;
}

WriteError EvolutionStore::writeBack(const std::string& calendar, ECalClient* client,
                                     const std::string& uid, const Stored& stored) {
    const ical::PartChanges changes = stored.item.changedSince(refsOf(stored.parts));
    for (const ical::ChangedPart& part : changes.written) {
        const auto component = componentOf(part);
        if (!component) {
            return component.error();
        }
        const ECalObjModType mod = part.occurrence ? E_CAL_OBJ_MOD_THIS : E_CAL_OBJ_MOD_ALL;
        WriteError error = written(
            calendar,
            [&](auto... call) {
                e_cal_client_modify_object(client, component->get(), mod, E_CAL_OPERATION_FLAG_NONE,
                                           call...);
            },
            [&](GAsyncResult* result, GError** failure) {
                return e_cal_client_modify_object_finish(client, result, failure);
            });
        if (error) {
            return error;
        }
    }
    for (const std::size_t dropped : changes.dropped) {
        const std::string occurrence = recurrenceIdOf(stored.parts[dropped]);
        WriteError error = written(
            calendar,
            [&](auto... call) {
                e_cal_client_remove_object(client, uid.c_str(), occurrence.c_str(),
                                           E_CAL_OBJ_MOD_ONLY_THIS, E_CAL_OPERATION_FLAG_NONE,
                                           call...);
            },
            [&](GAsyncResult* result, GError** failure) {
                return e_cal_client_remove_object_finish(client, result, failure);
            });
        if (error) {
            return error;
        }
    }
    return std::nullopt;
}

WriteError EvolutionStore::update(Event& event, Span span, Changes changes) {
    const auto name = splitIdentifier(event.identifier);
    if (!name) {
        return eventGone();
    }
    if (!event.calendarId.empty() && event.calendarId != name->first) {
        return cannotMove();
    }
    const auto client = writable(name->first);
    if (!client) {
        return client.error();
    }
    auto stored = unchangedSinceSeen(event.identifier, "overwritten");
    if (!stored) {
        return stored.error();
    }
    const ical::EditResult edit = stored->item.save(event, span, changes, clock_->wall());
    if (const auto* error = std::get_if<StoreError>(&edit)) {
        return *error;
    }
    if (std::get<ical::Outcome>(edit) != ical::Outcome::changed) {
        return std::nullopt;
    }
    auto error = writeBack(name->first, *client, name->second, *stored);
    seen_.erase(event.identifier);
    return error;
}

Result<EvolutionStore::Stored> EvolutionStore::unchangedSinceSeen(const std::string& identifier,
                                                                  const char* refused) const {
    auto stored = read(identifier, ical::Keep::tree);
    if (stored) {
        if (const auto seen = seen_.find(identifier);
            seen != seen_.end() && seen->second != stored->version) {
            return changedElsewhere(identifier, refused);
        }
    }
    return stored;
}

WriteError EvolutionStore::remove(const Event& event, Span span) {
    const auto name = splitIdentifier(event.identifier);
    if (!name) {
        return eventGone();
    }
    const auto client = writable(name->first);
    if (!client) {
        return client.error();
    }
    auto stored = unchangedSinceSeen(event.identifier, "removed");
    if (!stored) {
        return stored.error();
    }
    const ical::EditResult edit = stored->item.remove(event, span, clock_->wall());
    if (const auto* error = std::get_if<StoreError>(&edit)) {
        return *error;
    }
    seen_.erase(event.identifier);
    switch (std::get<ical::Outcome>(edit)) {
        case ical::Outcome::unchanged:
            return std::nullopt;
        case ical::Outcome::changed:
            return writeBack(name->first, *client, name->second, *stored);
        case ical::Outcome::removeWhole:
            break;
    }
    return written(
        name->first,
        [&](auto... call) {
            e_cal_client_remove_object(*client, name->second.c_str(), nullptr, E_CAL_OBJ_MOD_ALL,
                                       E_CAL_OPERATION_FLAG_NONE, call...);
        },
        [&](GAsyncResult* result, GError** failure) {
            return e_cal_client_remove_object_finish(*client, result, failure);
        });
}

}  // namespace
}  // namespace ravu

extern "C" __attribute__((visibility("default"))) ravu::Store* ravu_calendar_evolution_store(
    const ravu::ModuleSettings* settings) {
    try {
        return new ravu::EvolutionStore(*settings);
    } catch (const std::exception&) {
        return nullptr;
    }
}

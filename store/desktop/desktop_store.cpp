// The desktop store: the user's own calendars in the desktop's calendar service
// (evolution-data-server), where every account the user set up shows up and where every calendar
// application of the desktop reads and writes.
//
// The service hands out parsed components; the format layer reads them, expands series with the
// program's own expander and makes every edit, and this store writes the edited components back.
// Nothing here reads or writes iCalendar text.
#include <libecal/libecal.h>

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <functional>
#include <map>
#include <set>
#include <tuple>

#include "store/desktop/module.h"
#include "store/ical/item.h"
#include "store/uid.h"
#include "store/vdir/safe_file.h"

namespace ravu {
namespace {

constexpr const char* registryName = "org.gnome.evolution.dataserver.Sources5";

/// The most events and occurrences one query reports; past it every further event still shows
/// its first occurrence in the window.
constexpr std::size_t maxRecords = 2'000'000;

struct Unref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
template <typename T>
using Ref = std::unique_ptr<T, Unref>;

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

/// The native libical component inside a component of the service.
icalcomponent* nativeOf(ECalComponent* component) {
    return static_cast<icalcomponent*>(
        i_cal_object_get_native(I_CAL_OBJECT(e_cal_component_get_icalcomponent(component))));
}

/// A component of the service around a copy of a native one.
Ref<ICalComponent> wrapped(icalcomponent* native) {
    return Ref<ICalComponent>{I_CAL_COMPONENT(i_cal_object_construct(
        I_CAL_TYPE_COMPONENT, icalcomponent_new_clone(native),
        reinterpret_cast<GDestroyNotify>(icalcomponent_free), FALSE, nullptr))};
}

std::string uidOf(icalcomponent* component) {
    const char* uid = icalcomponent_get_uid(component);
    return uid != nullptr ? uid : "";
}

/// The changed occurrence a component stands for, as the service names it; empty for a series
/// or single event.
std::string occurrenceOf(icalcomponent* component) {
    if (icalcomponent_get_first_property(component, ICAL_RECURRENCEID_PROPERTY) == nullptr) {
        return {};
    }
    gchar* rid = e_cal_util_component_get_recurid_as_string(wrapped(component).get());
    std::string text = rid != nullptr ? rid : "";
    g_free(rid);
    return text;
}

/// "#rrggbb" as red, green, blue and alpha in 0..1; any other spelling is no colour.
std::optional<std::vector<double>> colorOf(const char* text) {
    if (text == nullptr || std::string_view{text}.size() != 7 || text[0] != '#') {
        return std::nullopt;
    }
    std::vector<double> components;
    for (int i = 1; i < 7; i += 2) {
        const int high = g_ascii_xdigit_value(text[i]);
        const int low = g_ascii_xdigit_value(text[i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        components.push_back((high * 16 + low) / 255.0);
    }
    components.push_back(1.0);
    return components;
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

/// By start, then identifier, then the occurrence's original start, as every store orders.
void inStoreOrder(std::vector<Event>& found) {
    std::sort(found.begin(), found.end(), [](const Event& a, const Event& b) {
        return std::tie(a.startDate, a.identifier, a.occurrenceDate) <
               std::tie(b.startDate, b.identifier, b.occurrenceDate);
    });
}

Instant systemNow() {
    return date::floor<std::chrono::microseconds>(std::chrono::system_clock::now());
}

class DesktopStore final : public Store {
  public:
    explicit DesktopStore(const DesktopSettings& settings)
        : diagnostics_{settings.diagnostics}, zone_{settings.zone}, lock_{settings.lockFolder} {}

    AuthorizationStatus authorizationStatus() const override;
    bool requestFullAccess() override { return registry() != nullptr; }
    std::vector<Calendar> calendars() const override;
    std::vector<Event> eventsMatching(const EventPredicate& predicate) const override;
    std::vector<Event> itemEventsMatching(std::string_view identifier, Instant start,
                                          Instant end) const override;
    std::optional<Event> calendarItemWithIdentifier(std::string_view identifier) const override;
    Event newEvent() override { return Event{}; }
    [[nodiscard]] WriteError beginChanges() override;
    [[nodiscard]] WriteError saveEvent(Event& event, Span span, Changes changes) override;
    [[nodiscard]] WriteError removeEvent(const Event& event, Span span) override;

  private:
    struct Connection {
        Ref<ECalClient> client;
        std::string failure;
    };
    /// The item as the service holds it now, with the version it was read at.
    struct Stored {
        ical::Item item;
        std::string version;
    };
    /// An item of a calendar's listing; its version only once the run holds its lock.
    struct Listed {
        std::string identifier;
        ical::Item item;
        std::string version;
    };

    GDBusConnection* bus() const;
    ESourceRegistry* registry() const;
    /// The enabled event calendar of that UID, or null.
    Ref<ESource> calendarSource(const std::string& uid) const;
    /// The calendar connected, once per run; a failure is told once.
    const Connection& connect(const std::string& uid) const;
    std::optional<ical::Item> itemOf(const std::string& calendar, ECalClient* client,
                                     const std::vector<ECalComponent*>& parts,
                                     ical::Keep keep) const;
    std::variant<Stored, StoreError> read(const std::string& identifier, ical::Keep keep) const;
    /// The item read whole for a write; an error saying it was not `refused` ("overwritten",
    /// "removed") when another program changed it since the run saw it.
    std::variant<Stored, StoreError> unchangedSinceSeen(const std::string& identifier,
                                                        const char* refused) const;
    /// Each readable item of the calendar that the service's query selects, read now.
    void fetch(const std::string& calendar, const std::string& query,
               const std::function<void(Listed&&)>& visit) const;
    /// After a write: the item read again into its calendar's listing, if the run keeps one.
    void relist(const std::string& identifier);
    /// The connected client of a calendar that takes changes.
    std::variant<ECalClient*, StoreError> writable(const std::string& calendar);
    WriteError takeLock();
    WriteError create(Event& event);
    WriteError update(Event& event, Span span, Changes changes);
    WriteError remove(const Event& event, Span span);
    /// Writes what the format layer changed in the item back to the service.
    WriteError writeBack(ECalClient* client, const std::string& uid,
                         const std::map<std::string, std::string>& before, const ical::Item& after);

    std::ostream* diagnostics_;
    const TimeZone* zone_;
    mutable Ref<GDBusConnection> bus_;
    mutable Ref<ESourceRegistry> registry_;
    mutable bool triedRegistry_ = false;
    mutable std::map<std::string, Connection> connections_;
    /// By calendar, what the run read once it held its lock.
    mutable std::map<std::string, std::vector<Listed>> listings_;
    mutable std::set<std::string> told_;
    /// The version of each item this run saw first once it began its changes: a write never
    /// overwrites what another program changed after that.
    mutable std::map<std::string, std::string> seen_;
    vdir::WriteLock lock_;
    WriteError lockFailure_;
};

GDBusConnection* DesktopStore::bus() const {
    if (!bus_) {
        GError* error = nullptr;
        bus_.reset(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error));
        Error{error};
        if (bus_) {
            // A bus that goes away ends the run's calls with errors, not the process.
            g_dbus_connection_set_exit_on_close(bus_.get(), FALSE);
        }
    }
    return bus_.get();
}

/// Running, or started on demand by the bus: asked without starting anything.
AuthorizationStatus DesktopStore::authorizationStatus() const {
    GDBusConnection* connection = bus();
    if (connection == nullptr) {
        return AuthorizationStatus::denied;
    }
    const auto ask = [&](const char* method, GVariant* arguments, const char* type) {
        GError* error = nullptr;
        GVariant* reply = g_dbus_connection_call_sync(
            connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            method, arguments, G_VARIANT_TYPE(type), G_DBUS_CALL_FLAGS_NO_AUTO_START, 5000, nullptr,
            &error);
        Error{error};
        return reply;
    };
    if (GVariant* owned = ask("NameHasOwner", g_variant_new("(s)", registryName), "(b)")) {
        gboolean has = FALSE;
        g_variant_get(owned, "(b)", &has);
        g_variant_unref(owned);
        if (has) {
            return AuthorizationStatus::fullAccess;
        }
    }
    bool activatable = false;
    if (GVariant* names = ask("ListActivatableNames", nullptr, "(as)")) {
        GVariantIter* iter = nullptr;
        const gchar* name = nullptr;
        g_variant_get(names, "(as)", &iter);
        while (g_variant_iter_loop(iter, "&s", &name)) {
            activatable = activatable || std::string_view{name} == registryName;
        }
        g_variant_iter_free(iter);
        g_variant_unref(names);
    }
    return activatable ? AuthorizationStatus::fullAccess : AuthorizationStatus::denied;
}

ESourceRegistry* DesktopStore::registry() const {
    if (!triedRegistry_) {
        triedRegistry_ = true;
        if (bus() == nullptr) {
            *diagnostics_ << "ravu-calendar: no session bus answers\n";
            return nullptr;
        }
        GError* error = nullptr;
        registry_.reset(e_source_registry_new_sync(nullptr, &error));
        if (!registry_) {
            *diagnostics_ << "ravu-calendar: the calendar service cannot be reached: "
                          << messageOf(Error{error}) << '\n';
        }
    }
    return registry_.get();
}

Ref<ESource> DesktopStore::calendarSource(const std::string& uid) const {
    ESourceRegistry* sources = registry();
    if (sources == nullptr || uid.empty()) {
        return nullptr;
    }
    Ref<ESource> source{e_source_registry_ref_source(sources, uid.c_str())};
    if (!source || !e_source_has_extension(source.get(), E_SOURCE_EXTENSION_CALENDAR) ||
        !e_source_registry_check_enabled(sources, source.get())) {
        return nullptr;
    }
    return source;
}

const DesktopStore::Connection& DesktopStore::connect(const std::string& uid) const {
    if (const auto known = connections_.find(uid); known != connections_.end()) {
        return known->second;
    }
    Connection connection;
    if (Ref<ESource> source = calendarSource(uid)) {
        // No waiting for a remote backend to come online: it opens offline, on its cache.
        GError* error = nullptr;
        connection.client.reset(
            E_CAL_CLIENT(e_cal_client_connect_sync(source.get(), E_CAL_CLIENT_SOURCE_TYPE_EVENTS,
                                                   static_cast<guint32>(-1), nullptr, &error)));
        if (!connection.client) {
            connection.failure = messageOf(Error{error});
            *diagnostics_ << "ravu-calendar: the calendar " << uid
                          << " cannot be opened: " << connection.failure << '\n';
        }
    } else {
        connection.failure = "the calendar " + uid + " does not exist";
    }
    return connections_.emplace(uid, std::move(connection)).first->second;
}

std::vector<Calendar> DesktopStore::calendars() const {
    std::vector<Calendar> found;
    ESourceRegistry* sources = registry();
    if (sources == nullptr) {
        return found;
    }
    Sources listed{e_source_registry_list_enabled(sources, E_SOURCE_EXTENSION_CALENDAR)};
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
            if (Ref<ESource> parent{e_source_registry_ref_source(sources, parentUid)}) {
                owner.title = e_source_get_display_name(parent.get());
            }
        }
        calendar.source = owner;
        gchar* color = e_source_selectable_dup_color(extension);
        calendar.color = colorOf(color);
        g_free(color);
        const Connection& connection = connect(calendar.identifier);
        calendar.allowsContentModifications =
            connection.client && !e_client_is_readonly(E_CLIENT(connection.client.get()));
        found.push_back(std::move(calendar));
    }
    std::sort(found.begin(), found.end(), [](const Calendar& a, const Calendar& b) {
        return std::tie(a.source->title, a.title, a.identifier) <
               std::tie(b.source->title, b.title, b.identifier);
    });
    return found;
}

std::optional<ical::Item> DesktopStore::itemOf(const std::string& calendar, ECalClient* client,
                                               const std::vector<ECalComponent*>& parts,
                                               ical::Keep keep) const {
    std::vector<void*> natives;
    for (ECalComponent* part : parts) {
        natives.push_back(nativeOf(part));
    }
    const std::string identifier = calendar + "/" + uidOf(nativeOf(parts.front()));
    // The calendar's own zones, for TZIDs the zone database does not know; the client keeps them.
    const auto zoneOf = [&](const std::string& tzid) -> void* {
        ICalTimezone* zone = nullptr;
        GError* error = nullptr;
        if (!e_cal_client_get_timezone_sync(client, tzid.c_str(), &zone, nullptr, &error) ||
            zone == nullptr) {
            Error{error};
            return nullptr;
        }
        Ref<ICalComponent> component{i_cal_timezone_get_component(zone)};
        return component ? i_cal_object_get_native(I_CAL_OBJECT(component.get())) : nullptr;
    };
    auto item = ical::Item::fromComponents(
        natives, {identifier, calendar, std::nullopt, identifier}, *zone_, keep, zoneOf);
    if (!item) {
        if (told_.insert(identifier).second) {
            *diagnostics_ << "ravu-calendar: skipping unreadable event " << identifier << '\n';
        }
    } else if (!item->notes().empty() && told_.insert(identifier).second) {
        for (const std::string& note : item->notes()) {
            *diagnostics_ << "ravu-calendar: " << identifier << ": " << note << '\n';
        }
    }
    return item;
}

/// The version of an item: the stamps the service puts on each of its components.
std::string versionOf(const std::vector<ECalComponent*>& parts) {
    std::string version;
    for (ECalComponent* part : parts) {
        icalcomponent* native = nativeOf(part);
        version += occurrenceOf(native);
        for (const icalproperty_kind kind : {ICAL_LASTMODIFIED_PROPERTY, ICAL_SEQUENCE_PROPERTY}) {
            if (icalproperty* property = icalcomponent_get_first_property(native, kind)) {
                const char* text = icalproperty_get_value_as_string(property);
                version += text != nullptr ? text : "";
            }
            version += ';';
        }
    }
    return version;
}

void DesktopStore::fetch(const std::string& calendar, const std::string& query,
                         const std::function<void(Listed&&)>& visit) const {
    ECalClient* client = connect(calendar).client.get();
    if (client == nullptr) {
        return;
    }
    GSList* listed = nullptr;
    GError* error = nullptr;
    if (!e_cal_client_get_object_list_as_comps_sync(client, query.c_str(), &listed, nullptr,
                                                    &error)) {
        *diagnostics_ << "ravu-calendar: the calendar " << calendar
                      << " cannot be read: " << messageOf(Error{error}) << '\n';
        return;
    }
    Components owned{listed};
    // A series comes with its changed occurrences, as components of one UID.
    std::map<std::string, std::vector<ECalComponent*>> items;
    for (GSList* at = listed; at != nullptr; at = at->next) {
        auto* component = static_cast<ECalComponent*>(at->data);
        items[uidOf(nativeOf(component))].push_back(component);
    }
    for (const auto& [uid, parts] : items) {
        if (auto item = itemOf(calendar, client, parts, ical::Keep::model)) {
            visit(Listed{calendar + "/" + uid, std::move(*item),
                         lock_.held() ? versionOf(parts) : std::string{}});
        }
    }
}

void DesktopStore::relist(const std::string& identifier) {
    const auto name = splitIdentifier(identifier);
    const auto listing = name ? listings_.find(name->first) : listings_.end();
    if (listing == listings_.end()) {
        return;
    }
    std::erase_if(listing->second,
                  [&](const Listed& listed) { return listed.identifier == identifier; });
    auto stored = read(identifier, ical::Keep::model);
    if (auto* found = std::get_if<Stored>(&stored)) {
        listing->second.push_back(Listed{identifier, std::move(found->item), found->version});
    }
}

std::vector<Event> DesktopStore::eventsMatching(const EventPredicate& predicate) const {
    std::vector<std::string> calendars;
    if (predicate.calendarIds) {
        calendars = *predicate.calendarIds;
    } else if (ESourceRegistry* sources = registry()) {
        Sources listed{e_source_registry_list_enabled(sources, E_SOURCE_EXTENSION_CALENDAR)};
        for (GList* at = listed.get(); at != nullptr; at = at->next) {
            calendars.emplace_back(e_source_get_uid(static_cast<ESource*>(at->data)));
        }
    }
    std::sort(calendars.begin(), calendars.end());
    calendars.erase(std::unique(calendars.begin(), calendars.end()), calendars.end());

    const std::string query = queryFor(predicate);
    std::vector<Event> found;
    const auto add = [&](const Listed& listed) {
        // Past the query's budget every event still shows its first occurrence.
        const std::size_t room = found.size() < maxRecords ? maxRecords - found.size() : 1;
        if (!listed.item.occurrences(predicate.start, predicate.end, found, room) &&
            told_.insert(listed.identifier + " dense").second) {
            *diagnostics_ << "ravu-calendar: " << listed.identifier
                          << ": too many occurrences in the window; only the first "
                          << std::min(room, ical::maxOccurrences) << " are shown\n";
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
            fetch(calendar, query, add);
            continue;
        }
        auto listing = listings_.find(calendar);
        if (listing == listings_.end()) {
            listing = listings_.emplace(calendar, std::vector<Listed>{}).first;
            fetch(calendar, "#t",
                  [&](Listed&& listed) { listing->second.push_back(std::move(listed)); });
        }
        for (const Listed& listed : listing->second) {
            add(listed);
        }
    }
    inStoreOrder(found);
    return found;
}

std::vector<Event> DesktopStore::itemEventsMatching(std::string_view identifier, Instant start,
                                                    Instant end) const {
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
        inStoreOrder(found);
        return found;
    }
    auto stored = read(std::string{identifier}, ical::Keep::model);
    if (auto* item = std::get_if<Stored>(&stored)) {
        if (lock_.held()) {
            seen_.emplace(identifier, item->version);
        }
        item->item.occurrences(start, end, found);
    }
    inStoreOrder(found);
    return found;
}

std::variant<DesktopStore::Stored, StoreError> DesktopStore::read(const std::string& identifier,
                                                                  ical::Keep keep) const {
    const auto name = splitIdentifier(identifier);
    const StoreError gone{"the event no longer exists"};
    if (!name) {
        return gone;
    }
    ECalClient* client = connect(name->first).client.get();
    if (client == nullptr) {
        return gone;
    }
    GSList* listed = nullptr;
    GError* error = nullptr;
    if (!e_cal_client_get_objects_for_uid_sync(client, name->second.c_str(), &listed, nullptr,
                                               &error)) {
        Error{error};
        return gone;
    }
    Components owned{listed};
    std::vector<ECalComponent*> parts;
    for (GSList* at = listed; at != nullptr; at = at->next) {
        parts.push_back(static_cast<ECalComponent*>(at->data));
    }
    if (parts.empty()) {
        return gone;
    }
    auto item = itemOf(name->first, client, parts, keep);
    if (!item) {
        return StoreError{"the event " + identifier + " cannot be read"};
    }
    return Stored{std::move(*item), versionOf(parts)};
}

std::optional<Event> DesktopStore::calendarItemWithIdentifier(std::string_view identifier) const {
    auto stored = read(std::string{identifier}, ical::Keep::model);
    if (auto* found = std::get_if<Stored>(&stored)) {
        if (lock_.held()) {
            seen_.emplace(identifier, found->version);
        }
        return found->item.event();
    }
    return std::nullopt;
}

WriteError DesktopStore::beginChanges() {
    if (!lock_.held()) {
        lockFailure_ = lock_.acquire();
    }
    return lockFailure_;
}

WriteError DesktopStore::takeLock() {
    return lockFailure_ ? lockFailure_ : lock_.acquire();
}

std::variant<ECalClient*, StoreError> DesktopStore::writable(const std::string& calendar) {
    if (auto error = takeLock()) {
        return *error;
    }
    const Connection& connection = connect(calendar);
    if (!connection.client) {
        return StoreError{connection.failure};
    }
    // The service takes writes into a read-only calendar and then drops them.
    if (e_client_is_readonly(E_CLIENT(connection.client.get()))) {
        return StoreError{"calendar is read-only"};
    }
    return connection.client.get();
}

WriteError DesktopStore::saveEvent(Event& event, Span span, Changes changes) {
    try {
        WriteError error = event.identifier.empty() ? create(event) : update(event, span, changes);
        relist(event.identifier);
        return error;
    } catch (const std::exception& error) {
        return StoreError{std::string{"the event could not be saved: "} + error.what()};
    }
}

WriteError DesktopStore::removeEvent(const Event& event, Span span) {
    try {
        WriteError error = remove(event, span);
        relist(event.identifier);
        return error;
    } catch (const std::exception& error) {
        return StoreError{std::string{"the event could not be removed: "} + error.what()};
    }
}

WriteError DesktopStore::create(Event& event) {
    if (event.calendarId.empty()) {
        return StoreError{"the event belongs to no calendar"};
    }
    auto client = writable(event.calendarId);
    if (auto* error = std::get_if<StoreError>(&client)) {
        return *error;
    }
    if (auto error = ical::checkWritable(event)) {
        return error;
    }
    const std::string uid = newUid();
    const std::string identifier = event.calendarId + "/" + uid;
    auto item = ical::Item::create(
        event, uid, {identifier, event.calendarId, std::nullopt, identifier}, *zone_, systemNow());
    if (auto* error = std::get_if<StoreError>(&item)) {
        return *error;
    }
    ECalClient* target = std::get<ECalClient*>(client);
    for (void* part : std::get<ical::Item>(item).components()) {
        auto* native = static_cast<icalcomponent*>(part);
        if (icalcomponent_isa(native) != ICAL_VEVENT_COMPONENT) {
            continue;
        }
        gchar* made = nullptr;
        GError* error = nullptr;
        if (!e_cal_client_create_object_sync(target, wrapped(native).get(),
                                             E_CAL_OPERATION_FLAG_NONE, &made, nullptr, &error)) {
            return StoreError{messageOf(Error{error})};
        }
        event.identifier = event.calendarId + "/" + (made != nullptr ? made : uid);
        g_free(made);
    }
    return std::nullopt;
}

/// Each component of the item by the occurrence it changes, with what it holds.
std::map<std::string, std::string> contentsOf(const ical::Item& item) {
    std::map<std::string, std::string> contents;
    for (void* part : item.components()) {
        auto* native = static_cast<icalcomponent*>(part);
        if (icalcomponent_isa(native) == ICAL_VEVENT_COMPONENT) {
            char* text = icalcomponent_as_ical_string_r(native);
            contents[occurrenceOf(native)] = text != nullptr ? text : "";
            std::free(text);
        }
    }
    return contents;
}

WriteError DesktopStore::writeBack(ECalClient* client, const std::string& uid,
                                   const std::map<std::string, std::string>& before,
                                   const ical::Item& after) {
    const auto now = contentsOf(after);
    // The series first, then its changed occurrences: the service fits those into the series.
    std::vector<void*> parts = after.components();
    std::stable_partition(parts.begin(), parts.end(), [](void* part) {
        return icalcomponent_get_first_property(static_cast<icalcomponent*>(part),
                                                ICAL_RECURRENCEID_PROPERTY) == nullptr;
    });
    for (void* part : parts) {
        auto* native = static_cast<icalcomponent*>(part);
        if (icalcomponent_isa(native) != ICAL_VEVENT_COMPONENT) {
            continue;
        }
        const std::string occurrence = occurrenceOf(native);
        const auto was = before.find(occurrence);
        if (was != before.end() && was->second == now.at(occurrence)) {
            continue;
        }
        GError* error = nullptr;
        if (!e_cal_client_modify_object_sync(
                client, wrapped(native).get(),
                occurrence.empty() ? E_CAL_OBJ_MOD_ALL : E_CAL_OBJ_MOD_THIS,
                E_CAL_OPERATION_FLAG_NONE, nullptr, &error)) {
            return StoreError{messageOf(Error{error})};
        }
    }
    // A changed occurrence the edit dropped goes alone: the series already says what it is now.
    for (const auto& [occurrence, text] : before) {
        if (occurrence.empty() || now.contains(occurrence)) {
            continue;
        }
        GError* error = nullptr;
        if (!e_cal_client_remove_object_sync(client, uid.c_str(), occurrence.c_str(),
                                             E_CAL_OBJ_MOD_ONLY_THIS, E_CAL_OPERATION_FLAG_NONE,
                                             nullptr, &error)) {
            return StoreError{messageOf(Error{error})};
        }
    }
    return std::nullopt;
}

WriteError DesktopStore::update(Event& event, Span span, Changes changes) {
    const auto name = splitIdentifier(event.identifier);
    if (!name) {
        return StoreError{"the event no longer exists"};
    }
    if (!event.calendarId.empty() && event.calendarId != name->first) {
        return StoreError{"moving an event to another calendar is not supported"};
    }
    auto client = writable(name->first);
    if (auto* error = std::get_if<StoreError>(&client)) {
        return *error;
    }
    if (auto error = ical::checkWritable(event)) {
        return error;
    }
    auto stored = unchangedSinceSeen(event.identifier, "overwritten");
    if (auto* error = std::get_if<StoreError>(&stored)) {
        return *error;
    }
    Stored& fresh = std::get<Stored>(stored);
    const auto before = contentsOf(fresh.item);
    const ical::EditResult edit = fresh.item.save(event, span, changes, systemNow());
    if (const auto* error = std::get_if<StoreError>(&edit)) {
        return *error;
    }
    if (std::get<ical::Outcome>(edit) != ical::Outcome::changed) {
        return std::nullopt;
    }
    auto error = writeBack(std::get<ECalClient*>(client), name->second, before, fresh.item);
    seen_.erase(event.identifier);
    return error;
}

std::variant<DesktopStore::Stored, StoreError> DesktopStore::unchangedSinceSeen(
    const std::string& identifier, const char* refused) const {
    auto stored = read(identifier, ical::Keep::tree);
    if (const auto* fresh = std::get_if<Stored>(&stored)) {
        if (const auto seen = seen_.find(identifier);
            seen != seen_.end() && seen->second != fresh->version) {
            return StoreError{identifier +
                              " was changed by another program after it was read; it was not " +
                              refused};
        }
    }
    return stored;
}

WriteError DesktopStore::remove(const Event& event, Span span) {
    const auto name = splitIdentifier(event.identifier);
    if (!name) {
        return StoreError{"the event no longer exists"};
    }
    auto client = writable(name->first);
    if (auto* error = std::get_if<StoreError>(&client)) {
        return *error;
    }
    auto stored = unchangedSinceSeen(event.identifier, "removed");
    if (auto* error = std::get_if<StoreError>(&stored)) {
        return *error;
    }
    Stored& fresh = std::get<Stored>(stored);
    const auto before = contentsOf(fresh.item);
    const ical::EditResult edit = fresh.item.remove(event, span, systemNow());
    if (const auto* error = std::get_if<StoreError>(&edit)) {
        return *error;
    }
    seen_.erase(event.identifier);
    switch (std::get<ical::Outcome>(edit)) {
        case ical::Outcome::unchanged:
            return std::nullopt;
        case ical::Outcome::changed:
            return writeBack(std::get<ECalClient*>(client), name->second, before, fresh.item);
        case ical::Outcome::removeWhole:
            break;
    }
    GError* error = nullptr;
    if (!e_cal_client_remove_object_sync(std::get<ECalClient*>(client), name->second.c_str(),
                                         nullptr, E_CAL_OBJ_MOD_ALL, E_CAL_OPERATION_FLAG_NONE,
                                         nullptr, &error)) {
        return StoreError{messageOf(Error{error})};
    }
    return std::nullopt;
}

}  // namespace
}  // namespace ravu

extern "C" __attribute__((visibility("default"))) ravu::Store* ravu_calendar_desktop_store(
    const ravu::DesktopSettings* settings) {
    try {
        return new ravu::DesktopStore(*settings);
    } catch (const std::exception&) {
        return nullptr;
    }
}

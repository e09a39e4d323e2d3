// Reading: items made of the service's components by the format layer, queries over calendars,
// and what the run keeps of them once it holds its lock.
#include <algorithm>

#include "store/evolution/evolution_store.h"
#include "store/evolution/waiting.h"
#include "store/policy.h"

namespace ravu::evolution {
namespace {

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

}  // namespace

std::optional<std::pair<std::string, std::string>> splitIdentifier(std::string_view identifier) {
    const auto slash = identifier.find('/');
    if (slash == std::string_view::npos || slash == 0 || slash + 1 == identifier.size()) {
        return std::nullopt;
    }
    return std::pair{std::string{identifier.substr(0, slash)},
                     std::string{identifier.substr(slash + 1)}};
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

}  // namespace ravu::evolution

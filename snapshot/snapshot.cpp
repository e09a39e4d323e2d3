#include "snapshot/snapshot.h"

#include <exception>
#include <set>
#include <unordered_map>

#include "catalogue/catalogue.h"
#include "convert/marker.h"
#include "convert/time.h"
#include "store/access.h"

namespace ravu {
namespace {

/// The set of requested keys; empty unless `logicalKeys` is an array made only of texts.
std::set<std::string, std::less<>> requestedKeys(const Json& request) {
    std::set<std::string, std::less<>> keys;
    if (!request.is_object()) {
        return keys;
    }
    const auto found = request.find("logicalKeys");
    if (found == request.end() || !found->is_array()) {
        return keys;
    }
    for (const Json& key : *found) {
        if (!key.is_string()) {
            return {};
        }
        keys.insert(key.get<std::string>());
    }
    return keys;
}

/// `now` moved by whole days on the user's calendar; `now` itself when that day cannot be
/// formed (a clock set tens of thousands of years off, a zone that cannot be read).
Instant windowBound(Instant now, int days, const TimeZone& zone) {
    using date::sys_days;
    using date::year;
    static const Instant earliest{sys_days{year{-30000} / 1 / 1}};
    static const Instant latest{sys_days{year{30000} / 1 / 1}};
    if (now < earliest || now > latest) {
        return now;
    }
    try {
        return addDays(now, days, zone);
    } catch (const std::exception&) {
        return now;
    }
}

Json eventRecord(Event& event) {
    Json record{
        {"uid", std::move(event.identifier)},
        {"title", event.title ? std::move(*event.title) : std::string{"(untitled)"}},
        {"startsAt", iso(*event.startDate)},
        {"allDay", event.allDay},
    };
    if (event.endDate) {
        record["endsAt"] = iso(*event.endDate);
    }
    if (event.location && !event.location->empty()) {
        record["location"] = std::move(*event.location);
    }
    if (event.lastModified) {
        record["lastModified"] = iso(*event.lastModified);
    }
    if (auto itemId = markerItemId(event.url)) {
        record["ravuItemId"] = std::move(*itemId);
    }
    return record;
}

}  // namespace

Json cmdSnapshot(Context& context, const Json& request) {
    // The request is taken apart before the access test: the host has written it whatever the
    // answer will be.
    const auto keys = requestedKeys(request);

    Json document{{"feeds", Json::object()}};
    if (!hasAccess(context.store)) {
        document["noAccess"] = true;
        return document;
    }
    if (keys.empty()) {
        return document;
    }

    std::vector<std::string> calendarIds;
    std::unordered_map<std::string, Json*> feedOfCalendar;
    Json& feeds = document["feeds"];
    for (const Calendar& calendar : uniqueCalendars(context)) {
        std::string key = logicalKey(calendar);
        if (!keys.contains(key)) {
            continue;
        }
        // A calendar without events in the window still gets its member, so that the host can
        // tell it from a key that no longer names a calendar.
        Json& feed = feeds[std::move(key)];
        if (feed.is_null()) {
            feed = Json::array();
        }
        feedOfCalendar.try_emplace(calendar.identifier, &feed);
        calendarIds.push_back(calendar.identifier);
    }
    if (calendarIds.empty()) {
        return document;
    }

    const Instant start = windowBound(context.now, -pastDays, context.zone);
    const Instant end = windowBound(context.now, futureDays, context.zone);
    std::vector<Event> events =
        context.store.eventsMatching(predicateForEvents(start, end, std::move(calendarIds)));
    for (Event& event : events) {
        if (event.calendarId.empty() || !event.startDate) {
            continue;
        }
        // The query asked for the matched calendars only; a store that answers with another
        // calendar's event gives it no feed to land in.
        const auto feed = feedOfCalendar.find(event.calendarId);
        if (feed == feedOfCalendar.end()) {
            continue;
        }
        feed->second->push_back(eventRecord(event));
    }
    return document;
}

}  // namespace ravu

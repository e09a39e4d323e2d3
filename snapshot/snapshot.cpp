#include "snapshot/snapshot.h"

#include <algorithm>
#include <exception>
#include <set>

#include "catalogue/catalogue.h"
#include "convert/marker.h"
#include "convert/time.h"
#include "document/json_text.h"
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

/// One record of a feed, its members in key order as every document has them.
void writeRecord(TextWriter& out, const Event& event) {
    out << R"({"allDay":)" << (event.allDay ? "true" : "false");
    if (event.endDate) {
        out << R"(,"endsAt":)";
        out.string(iso(*event.endDate));
    }
    if (event.lastModified) {
        out << R"(,"lastModified":)";
        out.string(iso(*event.lastModified));
    }
    if (event.location && !event.location->empty()) {
        out << R"(,"location":)";
        out.string(*event.location);
    }
    if (const auto itemId = markerItemId(event.url)) {
        out << R"(,"ravuItemId":)";
        out.string(*itemId);
    }
    out << R"(,"startsAt":)";
    out.string(iso(*event.startDate));
    out << R"(,"title":)";
    out.string(event.title ? std::string_view{*event.title} : "(untitled)");
    out << R"(,"uid":)";
    out.string(event.identifier);
    out << "}";
}

}  // namespace

void cmdSnapshot(Context& context, const Json& request, const Output& output) {
    // The request is taken apart before the access test: the host has written it whatever the
    // answer will be.
    const auto keys = requestedKeys(request);
    TextWriter out{output};
    if (!hasAccess(context.store)) {
        out << R"({"feeds":{},"noAccess":true})";
        return;
    }
    // Feeds go out in key order; a calendar without events in the window still gets its member,
    // so that the host can tell it from a key that no longer names a calendar.
    std::vector<std::pair<std::string, std::string>> feeds;  // key, calendar identifier
    if (!keys.empty()) {
        const auto calendars = uniqueCalendars(context, Listing::names);
        if (!calendars) {
            // Access was there a moment ago: the store stopped answering (and said why). Without
            // calendars the host could only read every feed as gone.
            out << R"({"feeds":{},"noAccess":true})";
            return;
        }
        for (const Calendar& calendar : *calendars) {
            if (std::string key = logicalKey(calendar); keys.contains(key)) {
                feeds.emplace_back(std::move(key), calendar.identifier);
            }
        }
    }
    std::sort(feeds.begin(), feeds.end());

    const Instant start = windowBound(context.now, -pastDays, context.zone);
    const Instant end = windowBound(context.now, futureDays, context.zone);
    // A calendar that cannot be read in full gets no feed, which would read as "no events" or
    // "deleted", but is named under "unread", so that the host keeps what it had of it.
    std::vector<std::string_view> unread;
    out << R"({"feeds":{)";
    bool firstFeed = true;
    for (const auto& [key, calendarId] : feeds) {
        // One query per calendar: only one calendar's events are held at a time.
        const auto events = context.store.eventsMatching(
            predicateForEvents(start, end, std::vector<std::string>{calendarId}));
        if (!events) {
            context.diagnostics << "ravu-calendar: the calendar " + key +
                                       " cannot be read: " + events.error().message + "\n";
            unread.push_back(key);
            continue;
        }
        out << (firstFeed ? "" : ",");
        out.string(key);
        out << ":[";
        firstFeed = false;
        bool first = true;
        for (const Event& event : *events) {
            // A store that answers with another calendar's event gives it no feed to land in.
            if (event.calendarId.empty() || event.calendarId != calendarId || !event.startDate) {
                continue;
            }
            out << (first ? "" : ",");
            writeRecord(out, event);
            out.pass();
            first = false;
        }
        out << "]";
    }
    out << "}";
    if (!unread.empty()) {
        out << R"(,"unread":[)";
        for (std::size_t at = 0; at < unread.size(); ++at) {
            out << (at == 0 ? "" : ",");
            out.string(unread[at]);
        }
        out << "]";
    }
    out << "}";
}

}  // namespace ravu

#include "apply/fields.h"

#include "apply/rrule.h"
#include "convert/marker.h"

namespace ravu {
namespace {

/// An hour after the start for a timed event; the start itself for an all-day one.
Instant defaultEnd(Instant start, bool allDay) {
    return allDay ? start : start + std::chrono::hours{1};
}

}  // namespace

Changes apply(const Entry& entry, Event& event) {
    Changes changes{.title = true, .times = true, .recurrence = true};
    if (entry.title) {
        event.title = entry.title;
    } else if (!event.title) {
        event.title = "(untitled)";
    }
    event.allDay = entry.allDay.value_or(false);
    if (entry.startsAt) {
        event.startDate = entry.startsAt;
    }
    // Hosts send all-day items with both ends; without one, even an all-day event gets an hour.
    if (entry.endsAt) {
        event.endDate = entry.endsAt;
    } else if (event.startDate) {
        event.endDate = defaultEnd(*event.startDate, false);
    }
    if (!entry.itemId.empty()) {
        if (auto url = markerURL(entry.itemId)) {
            event.url = std::move(url);
            changes.url = true;
        }
    }
    event.recurrenceRules.clear();
    if (entry.recurrenceRule) {
        if (auto parsed = ekRecurrence(*entry.recurrenceRule)) {
            event.recurrenceRules.push_back(std::move(*parsed));
        }
    }
    return changes;
}

Changes applyExternal(const Entry& entry, Event& event) {
    Changes changes{.times = true};
    if (entry.title) {
        event.title = entry.title;
        changes.title = true;
    }
    if (entry.allDay) {
        event.allDay = *entry.allDay;
    }
    if (entry.startsAt) {
        event.startDate = entry.startsAt;
    }
    // Hosts send the end with every edit, so an edit without one means the default length.
    if (entry.endsAt) {
        event.endDate = entry.endsAt;
    } else if (event.startDate) {
        event.endDate = defaultEnd(*event.startDate, event.allDay);
    }
    if (event.startDate && event.endDate && *event.endDate < *event.startDate) {
        event.endDate = defaultEnd(*event.startDate, event.allDay);
    }
    if (entry.location) {
        event.location = entry.location->empty() ? std::nullopt : entry.location;
        changes.location = true;
    }
    return changes;
}

}  // namespace ravu

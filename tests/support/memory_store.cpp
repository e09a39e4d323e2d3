#include "tests/support/memory_store.h"

#include <algorithm>

namespace ravu::testing {

const Calendar& MemoryStore::addCalendar(Calendar calendar) {
    calendarList.push_back(std::move(calendar));
    return calendarList.back();
}

const Event& MemoryStore::addEvent(Event event) {
    if (event.identifier.empty()) {
        event.identifier = "mem-" + std::to_string(nextIdentifier_++);
    }
    items[event.identifier] = event;
    rows.push_back(std::move(event));
    return rows.back();
}

bool MemoryStore::requestFullAccess() {
    calls.push_back({Call::Kind::requestAccess, {}, Span::futureEvents, std::nullopt, {}});
    if (grantOnRequest) {
        status = AuthorizationStatus::fullAccess;
    }
    return grantOnRequest;
}

std::vector<Event> MemoryStore::eventsMatching(const EventPredicate& predicate) const {
    calls.push_back({Call::Kind::query, {}, Span::futureEvents, std::nullopt, predicate});
    std::vector<Event> found;
    for (const Event& row : rows) {
        if (predicate.calendarIds &&
            std::find(predicate.calendarIds->begin(), predicate.calendarIds->end(),
                      row.calendarId) == predicate.calendarIds->end()) {
            continue;
        }
        if (!row.startDate) {
            found.push_back(row);
            continue;
        }
        const Instant start = *row.startDate;
        const Instant end = row.endDate.value_or(start);
        const bool overlaps = start == end ? (start >= predicate.start && start < predicate.end)
                                           : (start < predicate.end && end > predicate.start);
        if (overlaps) {
            found.push_back(row);
        }
    }
    return found;
}

std::optional<Event> MemoryStore::calendarItemWithIdentifier(std::string_view identifier) const {
    calls.push_back(
        {Call::Kind::lookup, std::string{identifier}, Span::futureEvents, std::nullopt, {}});
    const auto it = items.find(std::string{identifier});
    if (it == items.end()) {
        return std::nullopt;
    }
    return it->second;
}

WriteError MemoryStore::saveEvent(Event& event, Span span, Changes) {
    calls.push_back({Call::Kind::save, event.identifier, span, event.occurrenceDate, {}});
    if (failSavesWith) {
        return StoreError{*failSavesWith};
    }
    if (event.identifier.empty()) {
        event.identifier = "mem-" + std::to_string(nextIdentifier_++);
        items[event.identifier] = event;
        rows.push_back(event);
        stamp(event);
        return std::nullopt;
    }
    const bool oneOccurrence = span == Span::thisEvent && event.occurrenceDate;
    for (Event& row : rows) {
        if (row.identifier == event.identifier &&
            (!oneOccurrence || row.occurrenceDate == event.occurrenceDate)) {
            row = event;
        }
    }
    if (!oneOccurrence) {
        items[event.identifier] = event;
    }
    stamp(event);
    return std::nullopt;
}

WriteError MemoryStore::removeEvent(const Event& event, Span span) {
    calls.push_back({Call::Kind::remove, event.identifier, span, event.occurrenceDate, {}});
    if (failRemovalsWith) {
        return StoreError{*failRemovalsWith};
    }
    const bool oneOccurrence = span == Span::thisEvent && event.occurrenceDate;
    std::erase_if(rows, [&](const Event& row) {
        return row.identifier == event.identifier &&
               (!oneOccurrence || row.occurrenceDate == event.occurrenceDate);
    });
    if (!oneOccurrence) {
        items.erase(event.identifier);
    }
    stamp(event);
    return std::nullopt;
}

void MemoryStore::stamp(const Event& written) {
    if (!stampWritesAt) {
        return;
    }
    for (Event& row : rows) {
        if (row.identifier == written.identifier) {
            row.lastModified = stampWritesAt;
        }
    }
    if (const auto item = items.find(written.identifier); item != items.end()) {
        item->second.lastModified = stampWritesAt;
    }
}

std::size_t MemoryStore::count(Call::Kind kind) const {
    return static_cast<std::size_t>(
        std::count_if(calls.begin(), calls.end(), [&](const Call& c) { return c.kind == kind; }));
}

}  // namespace ravu::testing

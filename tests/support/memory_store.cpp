#include "tests/support/memory_store.h"

#include <algorithm>

#include "store/policy.h"

namespace ravu::testing {
namespace {

void applyChanges(Event& to, const Event& from, Changes changes) {
    to.title = changes.title ? from.title : to.title;
    to.location = changes.location ? from.location : to.location;
    to.url = changes.url ? from.url : to.url;
    to.startDate = changes.times ? from.startDate : to.startDate;
    to.endDate = changes.times ? from.endDate : to.endDate;
    to.allDay = changes.times ? from.allDay : to.allDay;
    to.recurrenceRules = changes.recurrence ? from.recurrenceRules : to.recurrenceRules;
}

bool overlaps(const Event& row, Instant windowStart, Instant windowEnd) {
    const Instant start = row.startDate.value_or(windowStart);
    const Instant end = row.endDate.value_or(start);
    return start == end ? (start >= windowStart && start < windowEnd)
                        : (start < windowEnd && end > windowStart);
}

}  // namespace

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

WriteError MemoryStore::calendarTakesChanges(std::string_view calendarId) const {
    Event event;
    event.calendarId = calendarId;
    return refused(event, true);
}

Result<std::vector<Event>> MemoryStore::eventsMatching(const EventPredicate& predicate) const {
    if (failReadsWith) {
        return StoreError{*failReadsWith, ErrorKind::timedOut};
    }
    std::vector<Event> found;
    for (const Event& row : rows) {
        if ((!predicate.calendarIds ||
             std::ranges::count(*predicate.calendarIds, row.calendarId)) &&
            overlaps(row, predicate.start, predicate.end)) {
            found.push_back(row);
        }
    }
    return found;
}

Result<std::vector<Event>> MemoryStore::itemEventsMatching(std::string_view identifier,
                                                           Instant start, Instant end) const {
    if (failReadsWith) {
        return StoreError{*failReadsWith, ErrorKind::timedOut};
    }
    std::vector<Event> found;
    for (const Event& row : rows) {
        if (row.identifier == identifier && overlaps(row, start, end)) {
            found.push_back(row);
        }
    }
    return found;
}

Result<Event> MemoryStore::calendarItemWithIdentifier(std::string_view identifier) const {
    if (failReadsWith) {
        return StoreError{*failReadsWith, ErrorKind::timedOut};
    }
    const auto it = items.find(std::string{identifier});
    if (it == items.end()) {
        return StoreError{"the event no longer exists", ErrorKind::gone};
    }
    Event found = it->second;
    found.recurrenceRules.clear();  // as every store reports a series
    return found;
}

WriteError MemoryStore::refused(const Event& event, bool isNew) const {
    for (const RecurrenceRule& rule : event.recurrenceRules) {
        const auto* count = rule.end ? std::get_if<OccurrenceCount>(&*rule.end) : nullptr;
        if (rule.interval < 1 || rule.interval > 32767 ||
            (count && (count->value < 1 || count->value > 2147483647))) {
            return StoreError{"a repetition the store cannot hold"};
        }
    }
    const auto calendar = std::ranges::find(calendarList, event.calendarId, &Calendar::identifier);
    if (calendar != calendarList.end()) {
        return calendar->allowsContentModifications
                   ? WriteError{}
                   : StoreError{"the calendar is read-only", ErrorKind::readOnly};
    }
    return isNew ? std::optional{StoreError{"the calendar " + event.calendarId + " does not exist",
                                            ErrorKind::gone}}
                 : std::nullopt;
}

void MemoryStore::insert(Event row) {
    rows.insert(std::upper_bound(rows.begin(), rows.end(), row, comesBefore), std::move(row));
}

void MemoryStore::layOut(const Event& series) {
    if (series.recurrenceRules.empty() || !series.startDate) {
        insert(series);
        return;
    }
    // Days of the week, months and zones are beyond this double: a fixed step from the start.
    const RecurrenceRule& rule = series.recurrenceRules.front();
    const auto step = std::chrono::days{rule.frequency == Frequency::weekly ? 7 : 1} *
                      std::max<std::int64_t>(rule.interval, 1);
    const auto* count = rule.end ? std::get_if<OccurrenceCount>(&*rule.end) : nullptr;
    const auto* until = rule.end ? std::get_if<Instant>(&*rule.end) : nullptr;
    for (std::int64_t n = 0; n < (count ? count->value : 1000); ++n) {
        Event occurrence = series;
        occurrence.startDate = *series.startDate + n * step;
        if (until && *occurrence.startDate > *until) {
            break;
        }
        if (series.endDate) {
            occurrence.endDate = *series.endDate + n * step;
        }
        occurrence.occurrenceDate = occurrence.startDate;
        insert(std::move(occurrence));
    }
}

WriteError MemoryStore::saveEvent(Event& event, Span span, Changes changes) {
    if (WriteError error = refused(event, event.identifier.empty())) {
        return error;
    }
    const auto item = items.find(event.identifier);
    if (!event.identifier.empty() && item == items.end()) {
        return StoreError{"the event " + event.identifier + " does not exist"};
    }
    if (event.identifier.empty()) {
        event.identifier = "mem-" + std::to_string(nextIdentifier_++);
        items[event.identifier] = event;
        layOut(event);
        return std::nullopt;
    }
    const bool oneOccurrence = span == Span::thisEvent && event.occurrenceDate;
    if (oneOccurrence) {
        changes.recurrence = false;
    } else {
        applyChanges(item->second, event, changes);
        if (!item->second.recurrenceRules.empty() && (changes.times || changes.recurrence)) {
            std::erase_if(rows,
                          [&](const Event& row) { return row.identifier == event.identifier; });
            layOut(item->second);
            return std::nullopt;
        }
    }
    for (Event& row : rows) {
        if (row.identifier == event.identifier &&
            (!oneOccurrence || row.occurrenceDate == event.occurrenceDate)) {
            applyChanges(row, event, changes);
        }
    }
    return std::nullopt;
}

WriteError MemoryStore::removeEvent(const Event& event, Span span) {
    const auto item = items.find(event.identifier);
    if (item == items.end()) {
        return StoreError{"the event " + event.identifier + " does not exist"};
    }
    if (WriteError error = refused(item->second, false)) {
        return error;
    }
    const bool oneOccurrence = span == Span::thisEvent && event.occurrenceDate;
    const bool fromLater = span == Span::futureEvents && event.occurrenceDate &&
                           item->second.startDate < event.occurrenceDate;
    std::erase_if(rows, [&](const Event& row) {
        return row.identifier == event.identifier &&
               (oneOccurrence ? row.occurrenceDate == event.occurrenceDate
                : fromLater   ? row.occurrenceDate >= event.occurrenceDate
                              : true);
    });
    if (!oneOccurrence && !fromLater) {
        items.erase(event.identifier);
    }
    return std::nullopt;
}

}  // namespace ravu::testing

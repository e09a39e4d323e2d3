#include "apply/fields.h"

#include "apply/rrule.h"
#include "convert/marker.h"
#include "convert/time.h"

namespace ravu {
namespace {

/// An hour after the start for a timed event; the start itself for an all-day one.
Instant defaultEnd(Instant start, bool allDay) {
    return allDay ? start : start + std::chrono::hours{1};
}

}  // namespace

const std::string* textField(const Json& fields, std::string_view key) {
    if (!fields.is_object()) {
        return nullptr;
    }
    const auto found = fields.find(key);
    return found != fields.end() ? found->get_ptr<const std::string*>() : nullptr;
}

std::optional<bool> boolField(const Json& fields, std::string_view key) {
    if (!fields.is_object()) {
        return std::nullopt;
    }
    const auto found = fields.find(key);
    if (found == fields.end() || !found->is_boolean()) {
        return std::nullopt;
    }
    return found->get<bool>();
}

std::optional<Instant> instantField(const Json& fields, std::string_view key) {
    const std::string* value = textField(fields, key);
    return value ? parseISO(*value) : std::nullopt;
}

Changes apply(const Json& fields, Event& event) {
    Changes changes{.title = true, .times = true, .recurrence = true};
    if (const std::string* title = textField(fields, "title")) {
        event.title = *title;
    } else if (!event.title) {
        event.title = "(untitled)";
    }
    event.allDay = boolField(fields, "allDay").value_or(false);
    if (const auto start = instantField(fields, "startsAt")) {
        event.startDate = start;
    }
    // Hosts send all-day items with both ends; without one, even an all-day event gets an hour.
    if (const auto end = instantField(fields, "endsAt")) {
        event.endDate = end;
    } else if (event.startDate) {
        event.endDate = defaultEnd(*event.startDate, false);
    }
    if (const std::string* itemId = textField(fields, "itemId"); itemId && !itemId->empty()) {
        if (auto url = markerURL(*itemId)) {
            event.url = std::move(url);
            changes.url = true;
        }
    }
    event.recurrenceRules.clear();
    if (const std::string* rule = textField(fields, "recurrenceRule")) {
        if (auto parsed = ekRecurrence(*rule)) {
            event.recurrenceRules.push_back(std::move(*parsed));
        }
    }
    return changes;
}

Changes applyExternal(const Json& fields, Event& event) {
    Changes changes{.times = true};
    if (const std::string* title = textField(fields, "title")) {
        event.title = *title;
        changes.title = true;
    }
    if (const auto allDay = boolField(fields, "allDay")) {
        event.allDay = *allDay;
    }
    if (const auto start = instantField(fields, "startsAt")) {
        event.startDate = start;
    }
    // Hosts send the end with every edit, so an edit without one means the default length.
    if (const auto end = instantField(fields, "endsAt")) {
        event.endDate = end;
    } else if (event.startDate) {
        event.endDate = defaultEnd(*event.startDate, event.allDay);
    }
    if (event.startDate && event.endDate && *event.endDate < *event.startDate) {
        event.endDate = defaultEnd(*event.startDate, event.allDay);
    }
    if (const std::string* location = textField(fields, "location")) {
        event.location = location->empty() ? std::nullopt : std::optional<std::string>{*location};
        changes.location = true;
    }
    return changes;
}

}  // namespace ravu

#include "apply/apply.h"

#include "apply/fields.h"
#include "apply/lookup.h"
#include "catalogue/catalogue.h"
#include "convert/time.h"
#include "store/access.h"

namespace ravu {
namespace {

using std::chrono::seconds;

constexpr std::string_view eventGone = "event no longer on device";
constexpr std::string_view occurrenceGone = "occurrence no longer on device";

/// The three lists of the result document, filled entry by entry.
struct Outcomes {
    Json writes = Json::array();
    Json deletes = Json::array();
    Json external = Json::array();
};

/// The entries of `pending`; none unless it is an array made only of objects.
const Json* pendingEntries(const Json& request) {
    if (!request.is_object()) {
        return nullptr;
    }
    const auto found = request.find("pending");
    if (found == request.end() || !found->is_array()) {
        return nullptr;
    }
    for (const Json& entry : *found) {
        if (!entry.is_object()) {
            return nullptr;
        }
    }
    return &*found;
}

/// "applied" when the store took the change; "transientError" and its message otherwise.
void addStatus(Json& result, const WriteError& error) {
    result["status"] = error ? "transientError" : "applied";
    if (error) {
        result["error"] = error->message;
    }
}

Json writeResult(const std::string& itemId, std::string_view eventId) {
    return Json{{"itemId", itemId}, {"eventkitEventId", eventId}};
}

void create(Context& context, const Json& entry, const std::string& itemId, Outcomes& outcomes) {
    const std::string* key = textField(entry, "logicalKey");
    const auto calendar = key ? firstWritableCalendar(context, *key) : std::nullopt;
    if (!calendar) {
        return;
    }
    // A host that lost our answer sends its create again: the event it made is found by marker.
    if (const auto start = instantField(entry, "startsAt"); start && !itemId.empty()) {
        if (const auto existing = findByMarker(context, itemId, *start)) {
            Json result = writeResult(itemId, existing->identifier);
            addStatus(result, std::nullopt);
            outcomes.writes.push_back(std::move(result));
            return;
        }
    }
    Event event = context.store.newEvent();
    event.calendarId = calendar->identifier;
    ravu::apply(entry, event);
    const WriteError error = context.store.saveEvent(event, Span::futureEvents);
    Json result = writeResult(itemId, error ? std::string_view{} : event.identifier);
    addStatus(result, error);
    outcomes.writes.push_back(std::move(result));
}

void update(Context& context, const Json& entry, const std::string& itemId,
            const std::string& eventId, Outcomes& outcomes) {
    auto event = context.store.calendarItemWithIdentifier(eventId);
    if (!event) {
        Json result = writeResult(itemId, "");
        result["status"] = "permanentError";
        result["error"] = eventGone;
        outcomes.writes.push_back(std::move(result));
        return;
    }
    ravu::apply(entry, *event);
    Json result = writeResult(itemId, eventId);
    addStatus(result, context.store.saveEvent(*event, Span::futureEvents));
    outcomes.writes.push_back(std::move(result));
}

void remove(Context& context, const std::string& eventId, Outcomes& outcomes) {
    // An event that is gone already counts as deleted. A refused removal is not told: the
    // host keeps the entry in its queue and sends it again.
    if (const auto event = context.store.calendarItemWithIdentifier(eventId)) {
        if (const WriteError error = context.store.removeEvent(*event, Span::futureEvents)) {
            return;
        }
    }
    outcomes.deletes.push_back(eventId);
}

/// Whether somebody changed the occurrence after the host last saw it. This run's own earlier
/// writes to the same series (a new exception, a rewritten file) do not count.
bool changedBehindTheHost(const Store& store, const Json& entry, const Event& occurrence) {
    const auto base = instantField(entry, "baseLastModified");
    auto modified = store.lastModifiedBeforeThisRun(occurrence);
    if (!modified) {
        modified = occurrence.lastModified;
    }
    return base && modified && *modified > *base + seconds{1};
}

void external(Context& context, const Json& entry, const std::string& eventId, bool deleting,
              Outcomes& outcomes) {
    const std::string* occurrenceStart = textField(entry, "occurrenceStart");
    const auto start = occurrenceStart ? parseISO(*occurrenceStart) : std::nullopt;
    if (!start) {
        return;
    }
    // The host shows an all-day occurrence at the UTC midnight of its day.
    const auto day = boolField(entry, "allDay") == true ? utcDayKey(*start) : std::nullopt;
    auto occurrence = day ? findAllDayOccurrence(context, eventId, *day)
                          : findOccurrence(context, eventId, *start);

    Json result{{"uid", eventId}, {"occurrenceStart", *occurrenceStart}};
    if (!occurrence) {
        result["status"] = "permanentError";
        result["error"] = occurrenceGone;
    } else if (changedBehindTheHost(context.store, entry, *occurrence)) {
        result["status"] = "conflict";
    } else if (deleting) {
        addStatus(result, context.store.removeEvent(*occurrence, Span::thisEvent));
    } else {
        applyExternal(entry, *occurrence);
        addStatus(result, context.store.saveEvent(*occurrence, Span::thisEvent));
    }
    outcomes.external.push_back(std::move(result));
}

void carryOut(Context& context, const Json& entry, Outcomes& outcomes) {
    const std::string* op = textField(entry, "op");
    if (!op) {
        return;
    }
    const std::string* itemIdField = textField(entry, "itemId");
    const std::string itemId = itemIdField ? *itemIdField : std::string{};
    const std::string* eventId = textField(entry, "eventkitEventId");

    if (*op == "create") {
        create(context, entry, itemId, outcomes);
    } else if (!eventId) {
        return;
    } else if (*op == "update") {
        update(context, entry, itemId, *eventId, outcomes);
    } else if (*op == "delete") {
        remove(context, *eventId, outcomes);
    } else if (*op == "updateExternal" || *op == "deleteExternal") {
        external(context, entry, *eventId, *op == "deleteExternal", outcomes);
    }
}

}  // namespace

Json cmdApply(Context& context, const Json& request) {
    const Json* pending = pendingEntries(request);
    Outcomes outcomes;
    if (pending && !pending->empty() && hasAccess(context.store)) {
        // Held to the end of the run, so that another run's writes cannot fall between a
        // look-up and the write that relies on it. A failure here is told by each write.
        (void)context.store.beginChanges();
        for (const Json& entry : *pending) {
            carryOut(context, entry, outcomes);
        }
    }
    return Json{{"writes", std::move(outcomes.writes)},
                {"deletes", std::move(outcomes.deletes)},
                {"external", std::move(outcomes.external)}};
}

}  // namespace ravu

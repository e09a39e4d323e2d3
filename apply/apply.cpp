#include "apply/apply.h"

#include <map>
#include <unordered_map>
#include <vector>

#include "apply/entry.h"
#include "apply/fields.h"
#include "apply/lookup.h"
#include "catalogue/catalogue.h"
#include "convert/marker.h"
#include "convert/time.h"
#include "store/access.h"

namespace ravu {
namespace {

using std::chrono::seconds;

constexpr std::string_view eventGone = "event no longer on device";
constexpr std::string_view occurrenceGone = "occurrence no longer on device";
constexpr std::string_view itemIdRefused = "the item id cannot be stored in the event's URL";

/// The three lists of the result document, filled entry by entry.
struct Outcomes {
    Json writes = Json::array();
    Json deletes = Json::array();
    Json external = Json::array();
};

/// The entries of `pending`, each read once; none unless it is an array made only of objects.
std::vector<Entry> pendingEntries(const Json& request) {
    if (!request.is_object()) {
        return {};
    }
    const auto found = request.find("pending");
    if (found == request.end() || !found->is_array()) {
        return {};
    }
    std::vector<Entry> entries;
    entries.reserve(found->size());
    for (const Json& entry : *found) {
        if (!entry.is_object()) {
            return {};
        }
        entries.push_back(parseEntry(entry));
    }
    return entries;
}

/// Every create that looks for the event it may have made before.
std::vector<MarkerIndex::LookUp> createLookUps(const std::vector<Entry>& pending) {
    std::vector<MarkerIndex::LookUp> lookUps;
    for (const Entry& entry : pending) {
        if (entry.op == Op::create && entry.startsAt && !entry.itemId.empty() && entry.logicalKey) {
            lookUps.push_back({entry.itemId, *entry.startsAt, *entry.logicalKey});
        }
    }
    return lookUps;
}

/// "applied" when the store took the change; "transientError" and its message otherwise.
void addStatus(Json& result, const WriteError& error) {
    result["status"] = error ? "transientError" : "applied";
    if (error) {
        result["error"] = error->message;
    }
}

/// The outcome of a look-up that found nothing: "permanentError" only when the store found that
/// it is not there; when the store could not tell, "transientError" with its message, so that
/// the host tries again rather than make the item anew.
void addLookUpFailure(Json& result, const StoreError& error, std::string_view gone) {
    const bool isGone = error.kind == ErrorKind::gone;
    result["status"] = isGone ? "permanentError" : "transientError";
    result["error"] = isGone ? std::string{gone} : error.message;
}

/// The occurrence an external entry names: by its day when the host marks it all-day and shows
/// it at a UTC midnight, else by its start. An error when the entry names none or it is gone.
Result<Event> namedOccurrence(const Context& context, const Entry& entry,
                              const std::string& eventId) {
    if (!entry.occurrenceStart || !entry.occurrenceStart->instant) {
        return StoreError{"no occurrence named", ErrorKind::gone};
    }
    const Instant start = *entry.occurrenceStart->instant;
    const auto day = entry.allDay == true ? utcDayKey(start) : std::nullopt;
    return day ? findAllDayOccurrence(context, eventId, *day)
               : findOccurrence(context, eventId, start);
}

/// The last-modified instants a queue tests its external entries against. A run's own writes to a
/// series stamp every occurrence of it, so once the queue has written a series, its later entries
/// on that series are tested against the occurrences as they stood before that first write:
/// the queue never conflicts with itself, and a change made by somebody else still counts. An
/// occurrence is known by its original start (its recurrence id), since an earlier entry may have
/// moved it to the start a later one names; one that did not exist before that write passes.
class Baseline {
  public:
    explicit Baseline(const std::vector<Entry>& pending) {
        for (std::size_t index = 0; index < pending.size(); ++index) {
            if (pending[index].external() && pending[index].eventId) {
                externalEntries_[*pending[index].eventId].push_back(index);
            }
        }
    }

    /// Called before the entry at `index` writes the series `eventId`; `occurrence` is the one
    /// it writes, if it names one.
    void beforeWrite(const Context& context, const std::vector<Entry>& pending, std::size_t index,
                     const std::string& eventId, const Event* occurrence = nullptr) {
        const auto [before, first] = before_.try_emplace(eventId);
        if (!first) {
            return;
        }
        if (occurrence != nullptr) {
            before->second.emplace(keyOf(*occurrence), occurrence->lastModified);
        }
        const auto later = externalEntries_.find(eventId);
        if (later == externalEntries_.end()) {
            return;
        }
        for (const std::size_t entry : later->second) {
            if (entry <= index) {
                continue;
            }
            if (const auto found = namedOccurrence(context, pending[entry], eventId)) {
                before->second.emplace(keyOf(*found), found->lastModified);
            }
        }
    }

    /// The instant an entry on the series `eventId` is tested against, for its occurrence as
    /// found now; none passes.
    std::optional<Instant> lastModified(const std::string& eventId, const Event& occurrence) const {
        const auto series = before_.find(eventId);
        if (series == before_.end()) {
            return occurrence.lastModified;
        }
        const auto known = series->second.find(keyOf(occurrence));
        return known != series->second.end() ? known->second : std::nullopt;
    }

  private:
    static Instant keyOf(const Event& occurrence) {
        return occurrence.occurrenceDate.value_or(occurrence.startDate.value_or(Instant{}));
    }

    std::unordered_map<std::string, std::vector<std::size_t>> externalEntries_;
    /// By series the queue has written: its occurrences' last-modified instants before that.
    std::unordered_map<std::string, std::map<Instant, std::optional<Instant>>> before_;
};

Json writeResult(const std::string& itemId, std::string_view eventId) {
    return Json{{"itemId", itemId}, {"eventkitEventId", eventId}};
}

/// Whether the entry's item id would come back from the event as it was sent. An event saved
/// without its marker would be found by no later create, and every retry would make another.
bool storableItemId(const Entry& entry, std::string_view eventId, Outcomes& outcomes) {
    if (entry.itemId.empty() || markerURL(entry.itemId)) {
        return true;
    }
    Json result = writeResult(entry.itemId, eventId);
    result["status"] = "transientError";
    result["error"] = itemIdRefused;
    outcomes.writes.push_back(std::move(result));
    return false;
}

void create(Context& context, const Entry& entry, MarkerIndex& markers, Outcomes& outcomes) {
    if (!entry.logicalKey) {
        return;
    }
    const auto calendar = firstWritableCalendar(context, *entry.logicalKey);
    const auto failed = [&](const StoreError& error) {
        Json result = writeResult(entry.itemId, "");
        addStatus(result, error);
        outcomes.writes.push_back(std::move(result));
    };
    if (!calendar) {
        // No such calendar, or one that takes no changes: passed over. A calendar that did not
        // answer is not passed over: the host would take that as done.
        if (calendar.error().kind != ErrorKind::gone &&
            calendar.error().kind != ErrorKind::readOnly) {
            failed(calendar.error());
        }
        return;
    }
    if (!storableItemId(entry, "", outcomes)) {
        return;
    }
    // A host that lost our answer sends its create again: the event it made is found by marker.
    if (entry.startsAt && !entry.itemId.empty()) {
        const auto existing =
            markers.find(entry.itemId, *entry.startsAt, *entry.logicalKey, calendar->identifier);
        if (existing) {
            Json result = writeResult(entry.itemId, existing->identifier);
            addStatus(result, std::nullopt);
            outcomes.writes.push_back(std::move(result));
            return;
        }
        if (!existing.gone()) {
            failed(existing.error());  // a second event of the item is worse than a retry
            return;
        }
    }
    Event event = context.store.newEvent();
    event.calendarId = calendar->identifier;
    const Changes changes = apply(entry, event);
    const WriteError error = context.store.saveEvent(event, Span::futureEvents, changes);
    if (!error) {
        markers.update(event.identifier);
    }
    Json result = writeResult(entry.itemId, error ? std::string_view{} : event.identifier);
    addStatus(result, error);
    outcomes.writes.push_back(std::move(result));
}

void update(Context& context, const Entry& entry, const std::string& eventId, Outcomes& outcomes) {
    if (!storableItemId(entry, eventId, outcomes)) {
        return;
    }
    auto event = context.store.calendarItemWithIdentifier(eventId);
    if (!event) {
        Json result = writeResult(entry.itemId, "");
        addLookUpFailure(result, event.error(), eventGone);
        outcomes.writes.push_back(std::move(result));
        return;
    }
    const Changes changes = apply(entry, *event);
    Json result = writeResult(entry.itemId, eventId);
    addStatus(result, context.store.saveEvent(*event, Span::futureEvents, changes));
    outcomes.writes.push_back(std::move(result));
}

void remove(Context& context, const std::string& eventId, Outcomes& outcomes) {
    // An event that is gone already counts as deleted. A refused removal is not told, nor a
    // look-up that could not tell: the host keeps the entry in its queue and sends it again.
    if (const auto event = context.store.calendarItemWithIdentifier(eventId)) {
        if (const WriteError error = context.store.removeEvent(*event, Span::futureEvents)) {
            return;
        }
    } else if (!event.gone()) {
        return;
    }
    outcomes.deletes.push_back(eventId);
}

void external(Context& context, const std::vector<Entry>& pending, std::size_t index,
              const std::string& eventId, Baseline& baseline, Outcomes& outcomes) {
    const Entry& entry = pending[index];
    if (!entry.occurrenceStart || !entry.occurrenceStart->instant) {
        return;
    }
    auto occurrence = namedOccurrence(context, entry, eventId);
    Json result{{"uid", eventId}, {"occurrenceStart", entry.occurrenceStart->text}};
    if (!occurrence) {
        addLookUpFailure(result, occurrence.error(), occurrenceGone);
        outcomes.external.push_back(std::move(result));
        return;
    }
    const auto base = entry.baseLastModified;
    const auto modified = baseline.lastModified(eventId, *occurrence);
    if (base && modified && *modified > *base + seconds{1}) {
        result["status"] = "conflict";
        outcomes.external.push_back(std::move(result));
        return;
    }
    baseline.beforeWrite(context, pending, index, eventId, &*occurrence);
    if (entry.op == Op::deleteExternal) {
        addStatus(result, context.store.removeEvent(*occurrence, Span::thisEvent));
    } else {
        const Changes changes = applyExternal(entry, *occurrence);
        addStatus(result, context.store.saveEvent(*occurrence, Span::thisEvent, changes));
    }
    outcomes.external.push_back(std::move(result));
}

void carryOut(Context& context, const std::vector<Entry>& pending, std::size_t index,
              Baseline& baseline, MarkerIndex& markers, Outcomes& outcomes) {
    const Entry& entry = pending[index];
    if (entry.op == Op::create) {
        create(context, entry, markers, outcomes);
        return;
    }
    if (entry.op == Op::ignored || !entry.eventId) {
        return;
    }
    const std::string& eventId = *entry.eventId;
    if (entry.op == Op::update) {
        baseline.beforeWrite(context, pending, index, eventId);
        update(context, entry, eventId, outcomes);
    } else if (entry.op == Op::remove) {
        baseline.beforeWrite(context, pending, index, eventId);
        remove(context, eventId, outcomes);
    } else {
        external(context, pending, index, eventId, baseline, outcomes);
    }
    // A later create may look for a marker the item now carries, or no longer does.
    markers.update(eventId);
}

}  // namespace

Json cmdApply(Context& context, const Json& request) {
    const std::vector<Entry> pending = pendingEntries(request);
    Outcomes outcomes;
    // A store that stops answering after the access test leaves the queue as it was, as without
    // access: nothing is carried out.
    if (!pending.empty() && hasAccess(context.store) && context.store.calendars(Listing::names)) {
        // Held to the end of the run, so that another run's writes cannot fall between a
        // look-up and the write that relies on it. A failure here is told by each write.
        (void)context.store.beginChanges();
        Baseline baseline{pending};
        MarkerIndex markers{context, createLookUps(pending)};
        for (std::size_t index = 0; index < pending.size(); ++index) {
            carryOut(context, pending, index, baseline, markers, outcomes);
        }
    }
    return Json{{"writes", std::move(outcomes.writes)},
                {"deletes", std::move(outcomes.deletes)},
                {"external", std::move(outcomes.external)}};
}

}  // namespace ravu

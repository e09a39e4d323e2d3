// Reading an item's tree into the model that the expander and the edits share: each VEVENT's
// texts, times and length, and the occurrence each override stands for. Beside it: the zones a
// value names (zones.cpp), the series' repetition (recurrence.cpp), and the notes libical leaves
// where it could not read a value (notes.cpp).
#include <algorithm>

#include "convert/time.h"
#include "store/ical/model.h"

namespace ravu::ical {
using namespace std::chrono_literals;
using std::chrono::seconds;

namespace {

// --- Properties ------------------------------------------------------------------------------

/// A text property as the event reports it: none when absent, empty text when present without a
/// value (which libical drops, leaving a note).
std::optional<std::string> textOf(icalcomponent* component, icalproperty_kind kind,
                                  std::string_view name) {
    if (icalproperty* property = icalcomponent_get_first_property(component, kind)) {
        const char* text = nullptr;
        if (kind == ICAL_URL_PROPERTY) {
            text = icalproperty_get_url(property);
        } else if (const icalvalue* value = icalproperty_get_value(property)) {
            text = icalvalue_get_text(value);
        }
        return std::string{text ? text : ""};
    }
    if (droppedEmpty(component, name)) {
        return std::string{};
    }
    return std::nullopt;
}

/// The instant a DATE-TIME property names; none when it names no time.
std::optional<Instant> instantOf(icalproperty* property, Model& model) {
    const auto value = timeOf(property);
    const auto wall = value ? wallOf(*value) : std::nullopt;
    if (!wall) {
        return std::nullopt;
    }
    return formOf(property, *value, model, Form{Form::Kind::floating})
        .toInstant(*wall, *model.user);
}

std::optional<Instant> lastModifiedOf(icalcomponent* component, Model& model) {
    icalproperty* property =
        icalcomponent_get_first_property(component, ICAL_LASTMODIFIED_PROPERTY);
    return property != nullptr ? instantOf(property, model) : std::nullopt;
}

// --- Events ----------------------------------------------------------------------------------

/// Start, length and form of a VEVENT; false when they cannot be read. `fallback` is the form
/// of values that carry no zone of their own.
bool readTimes(ReadEvent& out, icalcomponent* vevent, Model& model, const Form& fallback) {
    const TimeZone& user = *model.user;
    icalproperty* startProperty = icalcomponent_get_first_property(vevent, ICAL_DTSTART_PROPERTY);
    const auto startValue = startProperty ? timeOf(startProperty) : std::nullopt;
    const auto wall = startValue ? wallOf(*startValue) : std::nullopt;
    if (!wall) {
        return false;
    }
    const bool allDay = startValue->is_date != 0;
    out.event.allDay = allDay;
    out.wall = allDay ? local_seconds{date::floor<date::days>(*wall)} : *wall;
    out.form = formOf(startProperty, *startValue, model, fallback);
    const Instant start = out.form.toInstant(out.wall, user);

    out.nominal = date::days{allDay ? 1 : 0};
    out.exact = 0s;
    if (icalproperty* endProperty = icalcomponent_get_first_property(vevent, ICAL_DTEND_PROPERTY)) {
        const auto endValue = timeOf(endProperty);
        const auto endWall = endValue ? wallOf(*endValue) : std::nullopt;
        if (!endWall) {
            return false;
        }
        if (allDay) {
            // DTEND of an all-day event is the exclusive day after its last; a DTEND on the
            // first day itself still gives the event its day.
            const auto days = date::floor<date::days>(*endWall) - date::floor<date::days>(out.wall);
            if (days < date::days{0}) {
                return false;
            }
            out.nominal = std::max(days, date::days{1});
        } else {
            const Form endForm =
                endValue->is_date ? out.form : formOf(endProperty, *endValue, model, out.form);
            const Instant end = endForm.toInstant(*endWall, user);
            if (end < start) {
                return false;
            }
            out.exact = date::floor<seconds>(end - start);
        }
    } else if (icalproperty* duration =
                   icalcomponent_get_first_property(vevent, ICAL_DURATION_PROPERTY)) {
        const icaldurationtype length = icalproperty_get_duration(duration);
        const auto days = date::days{static_cast<long long>(length.days) +
                                     7 * static_cast<long long>(length.weeks)};
        const auto clock = std::chrono::hours{length.hours} + std::chrono::minutes{length.minutes} +
                           seconds{length.seconds};
        // libical keeps each part in an int, so a huge length can come out negative.
        if ((length.is_neg && (days.count() != 0 || clock.count() != 0)) || days.count() < 0 ||
            clock.count() < 0 || days > maxLength || clock > maxLength) {
            model.notes.push_back("its length cannot be read; it is shown without one");
        } else if (allDay) {
            // A time part rounds up to a whole day: the event covers the day it reaches into.
            out.nominal = std::max(days + date::ceil<date::days>(clock), date::days{1});
        } else {
            out.nominal = days;
            out.exact = clock;
        }
    }
    if (out.nominal > maxLength || out.exact > maxLength) {
        return false;
    }
    out.event.startDate = start;
    out.event.endDate = endOf(out, out.wall, start, user);
    out.event.timeZone = std::nullopt;
    if (out.form.kind == Form::Kind::utc) {
        out.event.timeZone = "UTC";
    } else if (out.form.kind == Form::Kind::zoned && out.form.system != nullptr) {
        out.event.timeZone = std::string{out.form.system->name()};
    }
    return true;
}

/// The texts, last-modified instant and state of a VEVENT.
void readFields(ReadEvent& out, icalcomponent* vevent, icalcomponent* master, Model& model) {
    Event& event = out.event;
    event.identifier = model.placement.identifier;
    event.calendarId = model.placement.calendarId;
    event.title = textOf(vevent, ICAL_SUMMARY_PROPERTY, "SUMMARY");
    event.location = textOf(vevent, ICAL_LOCATION_PROPERTY, "LOCATION");
    event.url = textOf(vevent, ICAL_URL_PROPERTY, "URL");

    // Peers such as khal rewrite a file without touching LAST-MODIFIED: the time the store
    // wrote it makes their edits visible to the conflict test.
    const auto later = [](std::optional<Instant> a, std::optional<Instant> b) {
        return a && b ? std::max(*a, *b) : a ? a : b;
    };
    const auto& parts = model.partsStoredAt;
    if (!parts.empty()) {
        // Each part stored on its own: an occurrence changes with its series and with its own
        // override, and with nothing else of the item.
        const auto storedAt = [&](icalcomponent* part) -> std::optional<Instant> {
            const auto found = parts.find(ComponentRef{part}.recurrenceId());
            return found != parts.end() ? std::optional{found->second} : std::nullopt;
        };
        const bool own = master == nullptr || master == vevent;
        auto modified = later(lastModifiedOf(vevent, model), storedAt(vevent));
        if (!own) {
            modified = later(modified, later(lastModifiedOf(master, model), storedAt(master)));
        }
        event.lastModified = modified;
    } else {
        auto modified = lastModifiedOf(vevent, model);
        if (!modified && master != nullptr && master != vevent) {
            modified = lastModifiedOf(master, model);
        }
        event.lastModified = later(modified, model.placement.storedAt);
    }
    out.cancelled = icalcomponent_get_status(vevent) == ICAL_STATUS_CANCELLED;
}

/// The occurrence an override stands for. Without a master its own RECURRENCE-ID decides
/// whether it names a day or an instant.
bool readOverride(ReadEvent& out, icalcomponent* vevent, Model& model) {
    const TimeZone& user = *model.user;
    icalproperty* property = icalcomponent_get_first_property(vevent, ICAL_RECURRENCEID_PROPERTY);
    const auto value = timeOf(property);
    if (!value) {
        return false;
    }
    std::optional<std::pair<local_seconds, Instant>> placed;
    if (model.master) {
        placed = placeIn(*model.master, property, *value, model);
    } else if (const auto wall = wallOf(*value)) {
        const local_days day = date::floor<date::days>(*wall);
        placed = value->is_date
                     ? std::pair{local_seconds{day}, dayStart(day, user)}
                     : std::pair{*wall, formOf(property, *value, model, Form{Form::Kind::floating})
                                            .toInstant(*wall, user)};
    }
    if (!placed) {
        return false;
    }
    const bool allDaySeries = model.master ? model.master->event.allDay : value->is_date != 0;
    const Instant key = allDaySeries ? asUtc(placed->first) : placed->second;

    // A timed override of an all-day series has no zone to fall back on but the user's.
    const Form fallback = model.master && !model.master->event.allDay ? model.master->form
                                                                      : Form{Form::Kind::floating};
    if (icalcomponent_get_first_property(vevent, ICAL_DTSTART_PROPERTY) != nullptr) {
        if (!readTimes(out, vevent, model, fallback)) {
            return false;
        }
    } else if (model.master) {
        // An override without a start keeps the occurrence where the series put it.
        out = ReadEvent{*model.master};
        out.wall = placed->first;
        out.event.startDate = placed->second;
        out.event.endDate = endOf(out, out.wall, placed->second, user);
    } else {
        return false;
    }
    out.key = key;
    if (model.master && icalcomponent_get_first_property(vevent, ICAL_DTEND_PROPERTY) == nullptr &&
        icalcomponent_get_first_property(vevent, ICAL_DURATION_PROPERTY) == nullptr &&
        out.event.allDay == model.master->event.allDay) {
        // Overrides written with only the fields that changed keep the series' length.
        out.nominal = model.master->nominal;
        out.exact = model.master->exact;
        out.event.endDate = endOf(out, out.wall, *out.event.startDate, user);
    }
    out.event.occurrenceDate = placed->second;
    return true;
}

}  // namespace

bool describe(Model& model) {
    model.master.reset();
    model.overrides.clear();
    model.rules.clear();
    model.extraStarts.clear();
    model.excluded.clear();
    model.excludedDays.clear();
    model.memoRange.reset();
    model.memo.clear();
    model.notes.clear();

    const std::vector<icalcomponent*> vevents = eventsOf(model.root.get());
    if (vevents.empty()) {
        return false;
    }
    icalcomponent* master = masterOf(model.root.get());
    // One item is one event: VEVENTs of another UID do not belong to it.
    const std::string uid = uidOf(master ? master : vevents.front());

    if (master != nullptr) {
        if (lostTiming(master)) {
            return false;
        }
        model.master.emplace();
        readFields(*model.master, master, master, model);
        if (!readTimes(*model.master, master, model, Form{Form::Kind::floating})) {
            return false;
        }
        if (lostRepetition(master) || !readRecurrence(model, master)) {
            // Better the event on its first day than no event at all.
            model.rules.clear();
            model.extraStarts.clear();
            model.notes.push_back(
                "its repetition cannot be read or expanded safely; only its first occurrence is "
                "shown");
        }
    }
    for (icalcomponent* vevent : overridesOf(model.root.get(), uid)) {
        if (lostTiming(vevent)) {
            return false;
        }
        ReadEvent override;
        if (!readOverride(override, vevent, model)) {
            return false;
        }
        readFields(override, vevent, master, model);
        model.overrides.push_back(std::move(override));
    }
    return model.master || !model.overrides.empty();
}

}  // namespace ravu::ical

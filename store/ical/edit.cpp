// Writing events into an item's tree: the fields a save names, the bookkeeping properties peers
// rely on, and the surgery a change of one occurrence needs. Everything here changes only what
// it is asked to; whatever else a component holds (descriptions, alarms, attendees, X-
// properties, other overrides) stays as it was.
#include "store/ical/edit.h"

#include <algorithm>
#include <climits>
#include <functional>

#include "convert/days.h"
#include "convert/text.h"
#include "convert/time.h"

namespace ravu::ical {
namespace {

using std::chrono::seconds;

/// libical makes no time value after the year 3000 (it writes 00000000T000000 instead), and
/// RFC 5545 none before the year 1. A time written in a zone can still fall outside on its local
/// date; the item then does not read back, and the save is refused (see `Item::save`).
constexpr date::sys_days earliestDay = date::sys_days{date::year{1} / 1 / 1};
constexpr date::sys_days latestDay = date::sys_days{date::year{3000} / 12 / 31};

/// libical keeps INTERVAL in a `short` and COUNT in an `int`, where 0 means "no COUNT". A value
/// outside these bounds would come back from the file as another rule, or as none, so the save
/// is refused instead.
constexpr std::int64_t maxInterval = SHRT_MAX;
constexpr std::int64_t maxCount = INT_MAX;

bool inRange(Instant instant) {
    return instant >= Instant{earliestDay} && instant < Instant{latestDay + date::days{1}};
}

/// Removes the properties `drop` chooses; whether there were any. libical looks through the
/// whole component for each property it removes, so past a handful the component is built again
/// without them: it then stands last in the calendar, and `component` names the new one. A
/// series may have tens of thousands of RDATEs or EXDATEs.
bool removeWhere(icalcomponent*& component, const std::function<bool(icalproperty*)>& drop) {
    std::vector<icalproperty*> dropped;
    for (icalproperty* p = icalcomponent_get_first_property(component, ICAL_ANY_PROPERTY);
         p != nullptr; p = icalcomponent_get_next_property(component, ICAL_ANY_PROPERTY)) {
        if (drop(p)) {
            dropped.push_back(p);
        }
    }
    icalcomponent* parent = icalcomponent_get_parent(component);
    if (dropped.size() <= 32 || parent == nullptr) {
        for (icalproperty* p : dropped) {
            icalcomponent_remove_property(component, p);
            icalproperty_free(p);
        }
        return !dropped.empty();
    }
    std::sort(dropped.begin(), dropped.end());
    icalcomponent* fresh = icalcomponent_new(icalcomponent_isa(component));
    for (icalproperty* p = icalcomponent_get_first_property(component, ICAL_ANY_PROPERTY);
         p != nullptr; p = icalcomponent_get_next_property(component, ICAL_ANY_PROPERTY)) {
        if (!std::binary_search(dropped.begin(), dropped.end(), p)) {
            icalcomponent_add_property(fresh, icalproperty_new_clone(p));
        }
    }
    for (icalcomponent* c = icalcomponent_get_first_component(component, ICAL_ANY_COMPONENT);
         c != nullptr; c = icalcomponent_get_next_component(component, ICAL_ANY_COMPONENT)) {
        icalcomponent_add_component(fresh, icalcomponent_new_clone(c));
    }
    dropComponent(parent, component);
    icalcomponent_add_component(parent, fresh);
    component = fresh;
    return true;
}

bool isKind(icalproperty* property, std::initializer_list<icalproperty_kind> kinds) {
    return std::find(kinds.begin(), kinds.end(), icalproperty_isa(property)) != kinds.end();
}

/// Gives the component exactly `fresh` for the property's kind, unless it holds one property of
/// that kind with the same value already, which then stays as it is (parameters included).
bool setProperty(icalcomponent* component, Property fresh) {
    const icalproperty_kind kind = icalproperty_isa(fresh.get());
    const auto existing = propertiesOf(component, kind);
    if (existing.size() == 1 && valueText(existing.front()) == valueText(fresh.get()) &&
        tzidOf(existing.front()) == tzidOf(fresh.get())) {
        return false;
    }
    removeAll(component, kind);
    icalcomponent_add_property(component, fresh.release());
    return true;
}

/// A text property's value, or none to remove it.
bool setText(icalcomponent* component, icalproperty_kind kind,
             const std::optional<std::string>& value) {
    if (!value) {
        return removeAll(component, kind);
    }
    const std::string text = cleanText(*value);
    Property fresh{kind == ICAL_URL_PROPERTY        ? icalproperty_new_url(text.c_str())
                   : kind == ICAL_LOCATION_PROPERTY ? icalproperty_new_location(text.c_str())
                                                    : icalproperty_new_summary(text.c_str())};
    return setProperty(component, std::move(fresh));
}

icaltimetype fromDay(date::sys_days day) {
    icaltimetype time = icalTime(local_seconds{day.time_since_epoch()}, true);
    time.hour = time.minute = time.second = 0;
    return time;
}

/// The form of the component's DTSTART.
Form startForm(icalcomponent* event, Model& model) {
    icalproperty* start = icalcomponent_get_first_property(event, ICAL_DTSTART_PROPERTY);
    const auto value = start != nullptr ? timeOf(start) : std::nullopt;
    return value ? formOf(start, *value, model, Form{Form::Kind::floating}) : Form{};
}

/// A DTSTART, DTEND, RECURRENCE-ID or EXDATE property holding the instant in the given form. The
/// TZID parameter is set by hand: libical would write zoned times floating, or with a prefix.
Property timeProperty(icalproperty_kind kind, Instant instant, const Form& form,
                      const TimeZone& user) {
    const icaltimetype value = form.valueFor(instant, user);
    Property property;
    switch (kind) {
        case ICAL_DTSTART_PROPERTY:
            property.reset(icalproperty_new_dtstart(value));
            break;
        case ICAL_DTEND_PROPERTY:
            property.reset(icalproperty_new_dtend(value));
            break;
        case ICAL_RECURRENCEID_PROPERTY:
            property.reset(icalproperty_new_recurrenceid(value));
            break;
        default:
            property.reset(icalproperty_new_exdate(value));
            break;
    }
    if (form.kind == Form::Kind::zoned) {
        icalproperty_add_parameter(property.get(), icalparameter_new_tzid(form.tzid.c_str()));
    }
    return property;
}

/// A VTIMEZONE for a zone the zone database knows, so that the file names no zone it does not
/// define. libical makes it from the same database, under a prefixed TZID that is set back to
/// the zone's own name. It goes first in the VCALENDAR, where peers look for it.
void addTimezone(icalcomponent* calendar, const std::string& tzid) {
    for (icalcomponent* c = icalcomponent_get_first_component(calendar, ICAL_VTIMEZONE_COMPONENT);
         c != nullptr; c = icalcomponent_get_next_component(calendar, ICAL_VTIMEZONE_COMPONENT)) {
        icalproperty* name = icalcomponent_get_first_property(c, ICAL_TZID_PROPERTY);
        if (name != nullptr && icalproperty_get_tzid(name) != nullptr &&
            icalproperty_get_tzid(name) == tzid) {
            return;
        }
    }
    icaltimezone* builtin = icaltimezone_get_builtin_timezone(tzid.c_str());
    icalcomponent* definition = builtin != nullptr ? icaltimezone_get_component(builtin) : nullptr;
    if (definition == nullptr) {
        return;  // peers still know the zone by its name
    }
    icalcomponent* copy = icalcomponent_new_clone(definition);
    removeAll(copy, ICAL_TZID_PROPERTY);
    icalcomponent_add_property(copy, icalproperty_new_tzid(tzid.c_str()));
    std::vector<icalcomponent*> others;
    for (icalcomponent* c = icalcomponent_get_first_component(calendar, ICAL_ANY_COMPONENT);
         c != nullptr; c = icalcomponent_get_next_component(calendar, ICAL_ANY_COMPONENT)) {
        others.push_back(c);
    }
    for (icalcomponent* c : others) {
        icalcomponent_remove_component(calendar, c);
    }
    icalcomponent_add_component(calendar, copy);
    for (icalcomponent* c : others) {
        icalcomponent_add_component(calendar, c);
    }
}

/// Timed events are written in UTC, unless the event keeps the zone its DTSTART names already.
/// A series is the exception: its rule is expanded in the zone of its DTSTART, so a weekly
/// meeting at 20:30 on Mondays only stays on Mondays at 20:30 across a change of the clocks in
/// the user's zone. A new series therefore takes the user's zone.
Form timedForm(icalcomponent* event, Model& model, const Event& values, bool repeating) {
    const Form current = startForm(event, model);
    if (values.timeZone && current.kind == Form::Kind::zoned && current.system != nullptr &&
        current.system == findZone(*values.timeZone)) {
        return current;
    }
    const std::string name{model.user->name()};
    if (!repeating || name == "UTC" || name == "Etc/UTC") {
        return Form{Form::Kind::utc};
    }
    addTimezone(model.root.get(), name);
    return Form{Form::Kind::zoned, name, model.user, nullptr};
}

/// The form the UNTIL of a series starting in `start` must take: RFC 5545 asks for a DATE with a
/// DATE start, a floating time with a floating start, and UTC otherwise.
Form untilForm(const Form& start) {
    if (start.kind == Form::Kind::date || start.kind == Form::Kind::floating) {
        return Form{start.kind};
    }
    return Form{Form::Kind::utc};
}

/// Brings the UNTIL of the rules the component keeps into the form of its DTSTART again, after
/// an event turned from timed into all-day or back, or from floating into UTC.
void conformUntil(icalcomponent* event, Model& model) {
    const TimeZone& user = *model.user;
    const Form wanted = untilForm(startForm(event, model));
    for (icalproperty* property : propertiesOf(event, ICAL_RRULE_PROPERTY)) {
        icalrecurrencetype rule = icalproperty_get_rrule(property);
        const auto wall = icaltime_is_null_time(rule.until) ? std::nullopt : wallOf(rule.until);
        if (!wall) {
            continue;
        }
        const Form::Kind kind = rule.until.is_date            ? Form::Kind::date
                                : icaltime_is_utc(rule.until) ? Form::Kind::utc
                                                              : Form::Kind::floating;
        if (kind == wanted.kind) {
            continue;
        }
        // An eight-digit UNTIL is that day's midnight UTC, and stays so as a time; any other
        // value is the last instant it lets through, read the way the old value was meant.
        const Instant last = kind == Form::Kind::date ? Instant{wall->time_since_epoch()}
                                                      : Form{kind}.toInstant(*wall, user);
        rule.until = wanted.kind == Form::Kind::date
                         ? fromDay(date::sys_days{
                               date::floor<date::days>(localTime(last, user)).time_since_epoch()})
                         : wanted.valueFor(last, user);
        icalproperty_set_rrule(property, rule);
    }
}

/// A RECURRENCE-ID or EXDATE property holding a wall-clock value in the given form.
Property wallProperty(icalproperty_kind kind, local_seconds wall, const Form& form) {
    icaltimetype value = icalTime(wall, form.kind == Form::Kind::date);
    if (form.kind == Form::Kind::utc) {
        value.zone = icaltimezone_get_utc_timezone();
    }
    Property property{kind == ICAL_RECURRENCEID_PROPERTY ? icalproperty_new_recurrenceid(value)
                                                         : icalproperty_new_exdate(value)};
    if (form.kind == Form::Kind::zoned) {
        icalproperty_add_parameter(property.get(), icalparameter_new_tzid(form.tzid.c_str()));
    }
    return property;
}

/// After a series' DTSTART changed its form, its RECURRENCE-IDs and EXDATEs are written again in
/// the new one: RFC 5545 asks them to match DTSTART, and peers compare them as written. Between
/// UTC, zones and floating time each names the same instant as before; between all-day and timed
/// each names the occurrence of the same day (in the series' old zone), at the new time of day.
/// A date EXDATE of a timed series names a whole day in any zone and stays. What then names no
/// occurrence is left to `dropStrayExceptions`.
void reformExceptions(icalcomponent*& master, Model& model, const Form& before) {
    const Form now = startForm(master, model);
    if (before.kind == now.kind && before.tzid == now.tzid) {
        return;
    }
    icalproperty* startProperty = icalcomponent_get_first_property(master, ICAL_DTSTART_PROPERTY);
    const auto startValue = startProperty ? timeOf(startProperty) : std::nullopt;
    const auto startWall = startValue ? wallOf(*startValue) : std::nullopt;
    if (!startWall) {
        return;
    }
    const auto timeOfDay = *startWall - date::floor<date::days>(*startWall);
    const auto reformed = [&](icalproperty* property) -> Property {
        const auto value = timeOf(property);
        const auto wall = value ? wallOf(*value) : std::nullopt;
        const icalproperty_kind kind = icalproperty_isa(property);
        if (!wall || (value->is_date && before.kind != Form::Kind::date &&
                      now.kind != Form::Kind::date && kind == ICAL_EXDATE_PROPERTY)) {
            return nullptr;
        }
        const TimeZone& user = *model.user;
        // A date, or any value of an all-day series, names its day as written.
        local_days day = date::floor<date::days>(*wall);
        std::optional<Instant> instant;
        if (!value->is_date && before.kind != Form::Kind::date) {
            // As the reader places it: a UTC exception of a floating series names its wall time.
            const Form form = before.kind == Form::Kind::floating && icaltime_is_utc(*value)
                                  ? before
                                  : formOf(property, *value, model, before);
            instant = form.toInstant(*wall, user);
            day = date::floor<date::days>(before.toWall(*instant, user));
        }
        if (now.kind == Form::Kind::date) {
            return wallProperty(kind, local_seconds{day}, now);
        }
        if (!instant) {
            return wallProperty(kind, day + timeOfDay, now);
        }
        return timeProperty(kind, *instant, now, user);
    };
    for (icalcomponent* override : overridesOf(model.root.get(), uidOf(master))) {
        icalproperty* id = icalcomponent_get_first_property(override, ICAL_RECURRENCEID_PROPERTY);
        if (Property fresh = reformed(id)) {
            setProperty(override, std::move(fresh));
        }
    }
    std::vector<Property> exdates;
    removeWhere(master, [&](icalproperty* property) {
        Property fresh = isKind(property, {ICAL_EXDATE_PROPERTY}) ? reformed(property) : nullptr;
        exdates.push_back(std::move(fresh));
        return exdates.back() != nullptr;
    });
    for (Property& exdate : exdates) {
        if (exdate) {
            icalcomponent_add_property(master, exdate.release());
        }
    }
}

bool writeTimes(icalcomponent*& event, Model& model, const Event& values, bool repeating) {
    const TimeZone& user = *model.user;
    const Form before = startForm(event, model);
    bool changed = false;
    const Instant start = *values.startDate;
    if (values.allDay) {
        const AllDayDates dates = allDayDates(start, values.endDate, user);
        changed |= setProperty(event, Property{icalproperty_new_dtstart(fromDay(dates.first))});
        changed |= setProperty(event, Property{icalproperty_new_dtend(fromDay(dates.end))});
    } else {
        const Form form = timedForm(event, model, values, repeating);
        changed |= setProperty(event, timeProperty(ICAL_DTSTART_PROPERTY, start, form, user));
        const bool zeroLength =
            !values.endDate || date::floor<seconds>(*values.endDate) == date::floor<seconds>(start);
        if (zeroLength) {
            // Without DTEND or DURATION a timed event lasts no time at all.
            changed |= removeAll(event, ICAL_DTEND_PROPERTY);
        } else {
            changed |=
                setProperty(event, timeProperty(ICAL_DTEND_PROPERTY, *values.endDate, form, user));
        }
    }
    changed |= removeAll(event, ICAL_DURATION_PROPERTY);
    if (changed) {
        conformUntil(event, model);
        if (icalcomponent_get_first_property(event, ICAL_RECURRENCEID_PROPERTY) == nullptr) {
            reformExceptions(event, model, before);
        }
    }
    return changed;
}

icalrecurrencetype_frequency frequencyOf(Frequency frequency) {
    switch (frequency) {
        case Frequency::daily:
            return ICAL_DAILY_RECURRENCE;
        case Frequency::weekly:
            return ICAL_WEEKLY_RECURRENCE;
        case Frequency::monthly:
            return ICAL_MONTHLY_RECURRENCE;
        case Frequency::yearly:
            return ICAL_YEARLY_RECURRENCE;
    }
    return ICAL_NO_RECURRENCE;
}

Property ruleProperty(const RecurrenceRule& rule, const Form& start, const TimeZone& user) {
    icalrecurrencetype recurrence;
    icalrecurrencetype_clear(&recurrence);
    recurrence.freq = frequencyOf(rule.frequency);
    recurrence.interval = static_cast<short>(rule.interval);
    std::size_t used = 0;
    for (const Weekday day : rule.daysOfTheWeek) {
        const auto code = static_cast<short>(day);
        // A day named twice would make every such occurrence come twice.
        if (std::find(recurrence.by_day, recurrence.by_day + used, code) ==
            recurrence.by_day + used) {
            recurrence.by_day[used++] = code;
        }
    }
    recurrence.by_day[used] = ICAL_RECURRENCE_ARRAY_MAX;
    if (rule.end) {
        if (const auto* count = std::get_if<OccurrenceCount>(&*rule.end)) {
            recurrence.count = static_cast<int>(count->value);
        } else {
            recurrence.until = untilForm(start).valueFor(std::get<Instant>(*rule.end), user);
        }
    }
    return Property{icalproperty_new_rrule(recurrence)};
}

/// The series' repetition becomes exactly `rules`: every RRULE, RDATE and EXRULE it had goes,
/// so no part of the old repetition that the program does not model lives on unseen.
bool writeRules(icalcomponent*& event, Model& model, const std::vector<RecurrenceRule>& rules) {
    const Form start = startForm(event, model);
    std::vector<Property> fresh;
    for (const RecurrenceRule& rule : rules) {
        fresh.push_back(ruleProperty(rule, start, *model.user));
    }
    const auto existing = propertiesOf(event, ICAL_RRULE_PROPERTY);
    const bool changed = removeWhere(event, [](icalproperty* property) {
        return isKind(property, {ICAL_RDATE_PROPERTY, ICAL_EXRULE_PROPERTY});
    });
    const bool same = existing.size() == fresh.size() &&
                      std::equal(existing.begin(), existing.end(), fresh.begin(),
                                 [](icalproperty* old, const Property& now) {
                                     return valueText(old) == valueText(now.get());
                                 });
    if (same) {
        return changed;
    }
    removeAll(event, ICAL_RRULE_PROPERTY);
    for (Property& property : fresh) {
        icalcomponent_add_property(event, property.release());
    }
    return true;
}

/// The key of the occurrence an RDATE, EXDATE or RECURRENCE-ID names; none for a value it
/// cannot read, and for a date EXDATE on a timed series, which names a whole day rather than one
/// occurrence. Any other date on a timed series names the occurrence at the series' time of day.
std::optional<Instant> keyOfProperty(Model& model, icalproperty* property) {
    const auto value = property ? timeOf(property) : std::nullopt;
    if (!value || !model.master ||
        (value->is_date && !model.master->event.allDay &&
         icalproperty_isa(property) == ICAL_EXDATE_PROPERTY)) {
        return std::nullopt;
    }
    return placedKey(model, property, *value);
}

}  // namespace

Component newCalendar() {
    Component calendar{icalcomponent_new_vcalendar()};
    icalcomponent_add_property(calendar.get(), icalproperty_new_version("2.0"));
    icalcomponent_add_property(calendar.get(),
                               icalproperty_new_prodid("-//ravu-calendar//ravu-calendar//EN"));
    return calendar;
}

WriteError checkWritable(const Event& event) {
    if (!event.startDate) {
        return StoreError{"the event has no start date"};
    }
    if (event.endDate && *event.endDate < *event.startDate) {
        return StoreError{"the event's end date lies before its start date"};
    }
    const auto outOfRange = StoreError{"dates before the year 1 or after 3000 cannot be saved"};
    if (!inRange(*event.startDate) || (event.endDate && !inRange(*event.endDate))) {
        return outOfRange;
    }
    if (event.url) {
        const std::string& url = *event.url;
        if (std::any_of(url.begin(), url.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; })) {
            return StoreError{"the event's URL holds a control character"};
        }
        if (cleanText(url) != url) {
            return StoreError{"the event's URL is not valid UTF-8 text"};
        }
    }
    for (const RecurrenceRule& rule : event.recurrenceRules) {
        if (frequencyOf(rule.frequency) == ICAL_NO_RECURRENCE) {
            return StoreError{"the repeat frequency " +
                              std::to_string(static_cast<int>(rule.frequency)) + " is unknown"};
        }
        if (rule.interval < 1 || rule.interval > maxInterval) {
            return StoreError{"a repeat interval of " + std::to_string(rule.interval) +
                              " cannot be saved: it must lie between 1 and " +
                              std::to_string(maxInterval)};
        }
        for (const Weekday day : rule.daysOfTheWeek) {
            if (static_cast<int>(day) < 1 || static_cast<int>(day) > 7) {
                return StoreError{"the day of the week " + std::to_string(static_cast<int>(day)) +
                                  " is unknown"};
            }
        }
        if (!rule.end) {
            continue;
        }
        if (const auto* count = std::get_if<OccurrenceCount>(&*rule.end)) {
            if (count->value < 1 || count->value > maxCount) {
                return StoreError{"a repeat count of " + std::to_string(count->value) +
                                  " cannot be saved: it must lie between 1 and " +
                                  std::to_string(maxCount)};
            }
        } else if (!inRange(std::get<Instant>(*rule.end))) {
            return outOfRange;
        }
    }
    return std::nullopt;
}

bool writeFields(icalcomponent*& event, Model& model, const Event& values, Changes which) {
    bool changed = false;
    if (which.title) {
        changed |= setText(event, ICAL_SUMMARY_PROPERTY, values.title);
    }
    if (which.location) {
        changed |= setText(event, ICAL_LOCATION_PROPERTY, values.location);
    }
    if (which.url) {
        changed |= setText(event, ICAL_URL_PROPERTY, values.url);
    }
    const bool master =
        icalcomponent_get_first_property(event, ICAL_RECURRENCEID_PROPERTY) == nullptr;
    which.recurrence = which.recurrence && master;
    const bool repeating =
        master && (which.recurrence ? !values.recurrenceRules.empty() : repeats(event));
    // A series' times are written again with a new rule, since they may have to take a zone.
    if ((which.times || (which.recurrence && repeating && !values.allDay)) && values.startDate) {
        changed |= writeTimes(event, model, values, repeating);
    }
    if (which.recurrence) {
        changed |= writeRules(event, model, values.recurrenceRules);
    }
    return changed;
}

void touch(icalcomponent* event, Instant now) {
    const icaltimetype stamp = Form{Form::Kind::utc}.valueFor(now, utcZone());
    removeAll(event, ICAL_DTSTAMP_PROPERTY);
    removeAll(event, ICAL_LASTMODIFIED_PROPERTY);
    icalcomponent_add_property(event, icalproperty_new_dtstamp(stamp));
    icalcomponent_add_property(event, icalproperty_new_lastmodified(stamp));
    icalproperty* sequence = icalcomponent_get_first_property(event, ICAL_SEQUENCE_PROPERTY);
    const int old = sequence != nullptr ? std::max(icalproperty_get_sequence(sequence), 0) : 0;
    removeAll(event, ICAL_SEQUENCE_PROPERTY);
    icalcomponent_add_property(event, icalproperty_new_sequence(old < INT_MAX ? old + 1 : old));
}

void stampNew(icalcomponent* event, Instant now) {
    const icaltimetype stamp = Form{Form::Kind::utc}.valueFor(now, utcZone());
    icalcomponent_add_property(event, icalproperty_new_dtstamp(stamp));
    icalcomponent_add_property(event, icalproperty_new_created(stamp));
    icalcomponent_add_property(event, icalproperty_new_lastmodified(stamp));
    icalcomponent_add_property(event, icalproperty_new_sequence(0));
}

icalcomponent* findOverride(Model& model, icalcomponent* master, Instant key) {
    for (icalcomponent* event : overridesOf(model.root.get(), uidOf(master))) {
        icalproperty* rid = icalcomponent_get_first_property(event, ICAL_RECURRENCEID_PROPERTY);
        if (keyOfProperty(model, rid) == key) {
            return event;
        }
    }
    return nullptr;
}

Component makeOverride(icalcomponent* master, Model& model, Instant occurrence) {
    // Built up rather than cloned and pruned: libical removes a property in time that grows with
    // the component, and a series may have tens of thousands of RDATEs.
    Component copy{icalcomponent_new_vevent()};
    for (icalproperty* p = icalcomponent_get_first_property(master, ICAL_ANY_PROPERTY);
         p != nullptr; p = icalcomponent_get_next_property(master, ICAL_ANY_PROPERTY)) {
        switch (icalproperty_isa(p)) {
            case ICAL_RRULE_PROPERTY:
            case ICAL_RDATE_PROPERTY:
            case ICAL_EXDATE_PROPERTY:
            case ICAL_EXRULE_PROPERTY:
            case ICAL_RECURRENCEID_PROPERTY:
                break;
            default:
                icalcomponent_add_property(copy.get(), icalproperty_new_clone(p));
        }
    }
    for (icalcomponent* c = icalcomponent_get_first_component(master, ICAL_ANY_COMPONENT);
         c != nullptr; c = icalcomponent_get_next_component(master, ICAL_ANY_COMPONENT)) {
        icalcomponent_add_component(copy.get(), icalcomponent_new_clone(c));
    }
    const Form form = startForm(master, model);
    icalcomponent_add_property(
        copy.get(),
        timeProperty(ICAL_RECURRENCEID_PROPERTY, occurrence, form, *model.user).release());
    return copy;
}

bool excludeOccurrence(icalcomponent* master, Model& model, Instant occurrence, Instant now) {
    const Instant key = model.keyOf(occurrence);
    bool changed = false;
    if (icalcomponent* override = findOverride(model, master, key)) {
        dropComponent(model.root.get(), override);
        changed = true;
    }
    for (icalproperty* exdate : propertiesOf(master, ICAL_EXDATE_PROPERTY)) {
        if (keyOfProperty(model, exdate) == key) {
            return changed;
        }
    }
    icalcomponent_add_property(master, timeProperty(ICAL_EXDATE_PROPERTY, occurrence,
                                                    startForm(master, model), *model.user)
                                           .release());
    touch(master, now);
    return true;
}

void dropStrayExceptions(icalcomponent*& master, Model& model) {
    // The model is read again from the changed tree: the keys and the question whether the
    // series still has an occurrence there are the new series', not the old one's.
    const bool described = describe(model);
    const bool single = !repeats(master);
    const auto stray = [&](icalproperty* property) {
        if (single) {
            return true;  // a single event has no occurrences to leave out or change
        }
        const auto key = described ? keyOfProperty(model, property) : std::nullopt;
        return key && namesOccurrence(model, *key) == Answer::no;
    };
    for (icalcomponent* override : overridesOf(model.root.get(), uidOf(master))) {
        if (stray(icalcomponent_get_first_property(override, ICAL_RECURRENCEID_PROPERTY))) {
            dropComponent(model.root.get(), override);
        }
    }
    removeWhere(master, [&](icalproperty* property) {
        return isKind(property, {ICAL_EXDATE_PROPERTY}) && stray(property);
    });
}

void endSeriesBefore(icalcomponent*& master, Model& model, Instant occurrence) {
    const TimeZone& user = *model.user;
    const Form form = startForm(master, model);
    const Instant key = model.keyOf(occurrence);
    const icaltimetype until = form.kind == Form::Kind::date
                                   ? fromDay(date::floor<date::days>(key) - date::days{1})
                                   : untilForm(form).valueFor(occurrence - seconds{1}, user);
    for (icalproperty* property : propertiesOf(master, ICAL_RRULE_PROPERTY)) {
        icalrecurrencetype rule = icalproperty_get_rrule(property);
        rule.count = 0;
        rule.until = until;
        icalproperty_set_rrule(property, rule);
    }
    removeWhere(master, [&](icalproperty* property) {
        if (!isKind(property, {ICAL_RDATE_PROPERTY, ICAL_EXDATE_PROPERTY})) {
            return false;
        }
        const auto found = keyOfProperty(model, property);
        return found && *found >= key;
    });
    for (icalcomponent* override : overridesOf(model.root.get(), uidOf(master))) {
        const auto found = keyOfProperty(
            model, icalcomponent_get_first_property(override, ICAL_RECURRENCEID_PROPERTY));
        if (found && *found >= key) {
            dropComponent(model.root.get(), override);
        }
    }
}

bool repeats(icalcomponent* master) {
    return icalcomponent_get_first_property(master, ICAL_RRULE_PROPERTY) != nullptr ||
           icalcomponent_get_first_property(master, ICAL_RDATE_PROPERTY) != nullptr;
}

}  // namespace ravu::ical

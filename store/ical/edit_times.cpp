// Writing an event's times into its tree: DTSTART and DTEND in the form the event keeps or takes,
// the zone a series is written in, and the UNTILs, EXDATEs and RECURRENCE-IDs that must follow
// a DTSTART that changed its form.
#include "convert/days.h"
#include "convert/time.h"
#include "store/ical/edit.h"

namespace ravu::ical {
namespace {

using std::chrono::seconds;

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
                         ? dayValue(date::sys_days{
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

}  // namespace

icaltimetype dayValue(date::sys_days day) {
    icaltimetype time = icalTime(local_seconds{day.time_since_epoch()}, true);
    time.hour = time.minute = time.second = 0;
    return time;
}

Form startForm(icalcomponent* event, Model& model) {
    icalproperty* start = icalcomponent_get_first_property(event, ICAL_DTSTART_PROPERTY);
    const auto value = start != nullptr ? timeOf(start) : std::nullopt;
    return value ? formOf(start, *value, model, Form{Form::Kind::floating}) : Form{};
}

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

Form untilForm(const Form& start) {
    if (start.kind == Form::Kind::date || start.kind == Form::Kind::floating) {
        return Form{start.kind};
    }
    return Form{Form::Kind::utc};
}

bool writeTimes(icalcomponent*& event, Model& model, const Event& values, bool repeating) {
    const TimeZone& user = *model.user;
    const Form before = startForm(event, model);
    bool changed = false;
    const Instant start = *values.startDate;
    if (values.allDay) {
        const AllDayDates dates = allDayDates(start, values.endDate, user);
        changed |= setProperty(event, Property{icalproperty_new_dtstart(dayValue(dates.first))});
        changed |= setProperty(event, Property{icalproperty_new_dtend(dayValue(dates.end))});
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

}  // namespace ravu::ical

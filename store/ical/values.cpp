// Values of the format layer: libical's properties and times, and the one time form that
// reading and writing share.
#include <cstdlib>
#include <mutex>
#include <unordered_map>

#include "convert/days.h"
#include "convert/time.h"
#include "store/ical/model.h"

namespace ravu::ical {
using std::chrono::microseconds;
using std::chrono::seconds;

namespace {

date::local_time<microseconds> precise(local_seconds wall) {
    return date::local_time<microseconds>{wall.time_since_epoch()};
}

icaltimetype fromDay(local_days day) {
    icaltimetype time = icalTime(local_seconds{day}, true);
    time.hour = time.minute = time.second = 0;
    return time;
}

}  // namespace

// --- libical ---------------------------------------------------------------------------------

void quietLibical() {
    // A libical built with fatal errors would abort the run on a bad value in a peer's file.
    static const bool once = [] {
        icalerror_set_errors_are_fatal(0);
        return true;
    }();
    (void)once;
}

std::vector<icalproperty*> propertiesOf(icalcomponent* component, icalproperty_kind kind) {
    std::vector<icalproperty*> found;
    for (icalproperty* p = icalcomponent_get_first_property(component, kind); p != nullptr;
         p = icalcomponent_get_next_property(component, kind)) {
        found.push_back(p);
    }
    return found;
}

std::vector<icalcomponent*> eventsOf(icalcomponent* calendar) {
    std::vector<icalcomponent*> found;
    for (icalcomponent* c = icalcomponent_get_first_component(calendar, ICAL_VEVENT_COMPONENT);
         c != nullptr; c = icalcomponent_get_next_component(calendar, ICAL_VEVENT_COMPONENT)) {
        found.push_back(c);
    }
    return found;
}

bool removeAll(icalcomponent* component, icalproperty_kind kind) {
    const auto found = propertiesOf(component, kind);
    for (icalproperty* p : found) {
        icalcomponent_remove_property(component, p);
        icalproperty_free(p);
    }
    return !found.empty();
}

std::string valueText(const icalproperty* property) {
    char* text = icalproperty_get_value_as_string_r(property);
    std::string result = text != nullptr ? text : "";
    std::free(text);
    return result;
}

std::string tzidOf(const icalproperty* property) {
    const icalparameter* tzid =
        icalproperty_get_first_parameter(const_cast<icalproperty*>(property), ICAL_TZID_PARAMETER);
    const char* text = tzid != nullptr ? icalparameter_get_tzid(tzid) : nullptr;
    return text != nullptr ? text : "";
}

std::string uidOf(icalcomponent* event) {
    const char* uid = icalcomponent_get_uid(event);
    return uid != nullptr ? uid : "";
}

namespace {

/// Which of two versions of one component a peer made later: the higher SEQUENCE, then the later
/// LAST-MODIFIED (always UTC, so compared as written).
bool newer(icalcomponent* a, icalcomponent* b) {
    const auto modified = [](icalcomponent* event) {
        icalproperty* property =
            icalcomponent_get_first_property(event, ICAL_LASTMODIFIED_PROPERTY);
        const auto value = property ? timeOf(property) : std::nullopt;
        return value ? wallOf(*value) : std::nullopt;
    };
    const int sequenceA = icalcomponent_get_sequence(a);
    const int sequenceB = icalcomponent_get_sequence(b);
    return sequenceA != sequenceB ? sequenceA > sequenceB : modified(a) > modified(b);
}

bool isOverride(icalcomponent* event) {
    return icalcomponent_get_first_property(event, ICAL_RECURRENCEID_PROPERTY) != nullptr;
}

}  // namespace

icalcomponent* masterOf(icalcomponent* calendar) {
    // A file may hold the series twice under one UID, as an older client left it: the newest
    // version counts, the first in the file on a tie.
    icalcomponent* master = nullptr;
    for (icalcomponent* event : eventsOf(calendar)) {
        if (!isOverride(event) &&
            (master == nullptr || (uidOf(event) == uidOf(master) && newer(event, master)))) {
            master = event;
        }
    }
    return master;
}

std::vector<icalcomponent*> overridesOf(icalcomponent* calendar, std::string_view uid) {
    // Two overrides of one occurrence: the newest counts, the later in the file on a tie. Each
    // RECURRENCE-ID is written out once: a series a queue edits occurrence by occurrence gains
    // an override with every edit, and every edit asks for them all.
    std::vector<icalcomponent*> found;
    std::unordered_map<std::string, std::size_t> positions;
    for (icalcomponent* event : eventsOf(calendar)) {
        if (!isOverride(event) || uidOf(event) != uid) {
            continue;
        }
        const auto [same, first] = positions.try_emplace(
            valueText(icalcomponent_get_first_property(event, ICAL_RECURRENCEID_PROPERTY)),
            found.size());
        if (first) {
            found.push_back(event);
        } else if (!newer(found[same->second], event)) {
            found[same->second] = event;
        }
    }
    return found;
}

void dropComponent(icalcomponent* calendar, icalcomponent* event) {
    icalcomponent_remove_component(calendar, event);
    icalcomponent_free(event);
}

std::optional<icaltimetype> timeOf(const icalproperty* property) {
    const icalvalue* value = icalproperty_get_value(property);
    if (value == nullptr) {
        return std::nullopt;
    }
    icaltimetype time;
    switch (icalvalue_isa(value)) {
        case ICAL_DATE_VALUE:
            time = icalvalue_get_date(value);
            break;
        case ICAL_DATETIME_VALUE:
            time = icalvalue_get_datetime(value);
            break;
        case ICAL_DATETIMEPERIOD_VALUE: {
            const icaldatetimeperiodtype both = icalvalue_get_datetimeperiod(value);
            time = icaltime_is_null_time(both.time) ? both.period.start : both.time;
            break;
        }
        case ICAL_PERIOD_VALUE:
            time = icalvalue_get_period(value).start;
            break;
        default:
            return std::nullopt;
    }
    if (icaltime_is_null_time(time)) {
        return std::nullopt;
    }
    return time;
}

std::optional<local_seconds> wallOf(const icaltimetype& value) {
    if (value.year < 1 || value.year > 9999 || value.month < 1 || value.month > 12 ||
        value.day < 1 || value.day > 31) {
        return std::nullopt;
    }
    const date::year_month_day ymd{date::year{value.year},
                                   date::month{static_cast<unsigned>(value.month)},
                                   date::day{static_cast<unsigned>(value.day)}};
    if (!ymd.ok()) {
        return std::nullopt;
    }
    const local_seconds midnight{local_days{ymd}};
    if (value.is_date) {
        return midnight;
    }
    // A leap second (60) is read as the first second of the next minute.
    if (value.hour < 0 || value.hour > 23 || value.minute < 0 || value.minute > 59 ||
        value.second < 0 || value.second > 60) {
        return std::nullopt;
    }
    return midnight + std::chrono::hours{value.hour} + std::chrono::minutes{value.minute} +
           seconds{value.second};
}

icaltimetype icalTime(local_seconds wall, bool isDate) {
    const auto day = date::floor<date::days>(wall);
    const date::year_month_day ymd{day};
    const date::hh_mm_ss clock{wall - day};
    icaltimetype value = icaltime_null_time();
    value.year = static_cast<int>(ymd.year());
    value.month = static_cast<int>(static_cast<unsigned>(ymd.month()));
    value.day = static_cast<int>(static_cast<unsigned>(ymd.day()));
    value.is_date = isDate ? 1 : 0;
    if (!isDate) {
        value.hour = static_cast<int>(clock.hours().count());
        value.minute = static_cast<int>(clock.minutes().count());
        value.second = static_cast<int>(clock.seconds().count());
    }
    return value;
}

// --- Times -----------------------------------------------------------------------------------

Instant dayStart(local_days day, const TimeZone& zone) {
    return fromLocal(date::local_time<microseconds>{day}, zone);
}

Instant Form::toInstant(local_seconds wall, const TimeZone& user) const {
    switch (kind) {
        case Kind::date:
            return dayStart(date::floor<date::days>(wall), user);
        case Kind::utc:
            return asUtc(wall);
        case Kind::zoned:
            if (system != nullptr) {
                return fromLocal(precise(wall), *system);
            }
            if (file != nullptr) {
                icaltimetype value = icalTime(wall, false);
                value.zone = file;
                return Instant{seconds{icaltime_as_timet_with_zone(value, file)}};
            }
            break;
        case Kind::floating:
            break;
    }
    return fromLocal(precise(wall), user);
}

local_seconds Form::toWall(Instant instant, const TimeZone& user) const {
    switch (kind) {
        case Kind::utc:
            return local_seconds{date::floor<seconds>(instant).time_since_epoch()};
        case Kind::zoned:
            if (system != nullptr) {
                return date::floor<seconds>(localTime(instant, *system));
            }
            if (file != nullptr) {
                const auto time =
                    static_cast<time_t>(date::floor<seconds>(instant).time_since_epoch().count());
                const auto wall = wallOf(icaltime_from_timet_with_zone(time, 0, file));
                return wall ? *wall
                            : local_seconds{date::floor<seconds>(instant).time_since_epoch()};
            }
            break;
        case Kind::date:
        case Kind::floating:
            break;
    }
    return date::floor<seconds>(localTime(instant, user));
}

icaltimetype Form::valueFor(Instant instant, const TimeZone& user) const {
    if (kind == Kind::date) {
        return fromDay(local_days{dayOf(instant, user).time_since_epoch()});
    }
    icaltimetype value = icalTime(toWall(instant, user), false);
    if (kind == Kind::utc) {
        value.zone = icaltimezone_get_utc_timezone();
    }
    return value;
}

// --- Items -----------------------------------------------------------------------------------

Instant Model::keyOf(local_seconds wall, Instant start) const {
    return allDay() ? asUtc(local_seconds{date::floor<date::days>(wall)}) : start;
}

Instant Model::keyOf(Instant start) const {
    if (allDay()) {
        return asUtc(local_seconds{date::floor<date::days>(localTime(start, *user))});
    }
    return date::floor<seconds>(start);
}

Instant endOf(const ReadEvent& shape, local_seconds wall, Instant start, const TimeZone& user) {
    if (shape.event.allDay) {
        return dayStart(date::floor<date::days>(wall) + shape.nominal, user) - seconds{1};
    }
    if (shape.nominal == date::days{0}) {
        return start + shape.exact;
    }
    return shape.form.toInstant(wall + shape.nominal, user) + shape.exact;
}

bool overlaps(Instant start, Instant end, Instant windowStart, Instant windowEnd) {
    if (start == end) {
        return start >= windowStart && start < windowEnd;
    }
    return start < windowEnd && end > windowStart;
}

}  // namespace ravu::ical

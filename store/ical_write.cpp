#include "store/ical_write.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <random>

#include "store/vdir_internal.h"

namespace ravu::ical {
namespace {

using std::chrono::seconds;

/// RFC 5545 writes years with four digits; a day of margin keeps every zone's local date inside.
constexpr date::sys_days earliestDay = date::sys_days{date::year{1} / 1 / 2};
constexpr date::sys_days latestDay = date::sys_days{date::year{9999} / 12 / 30};

/// libical keeps INTERVAL in a `short` and COUNT in an `int`, where 0 means "no COUNT". A value
/// outside these bounds would come back from the file as another rule, or as none, so the save
/// is refused instead.
constexpr std::int64_t maxInterval = SHRT_MAX;
constexpr std::int64_t maxCount = INT_MAX;

struct IteratorFree {
    void operator()(icalrecur_iterator* iterator) const { icalrecur_iterator_free(iterator); }
};
using Iterator = std::unique_ptr<icalrecur_iterator, IteratorFree>;

bool inRange(Instant instant) {
    return instant >= Instant{earliestDay} && instant < Instant{latestDay + date::days{1}};
}

/// Every property of a kind; collected first, since removing one while walking would break the
/// component's own iteration.
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

/// A time value of a property: DATE, DATE-TIME, or the start of a PERIOD (RDATE).
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
    if (icaltime_is_null_time(time) || !icaltime_is_valid_time(time)) {
        return std::nullopt;
    }
    return time;
}

/// The zone database's zone for a TZID, also when libical or a peer wrote it with a prefix such
/// as "/freeassociation.sourceforge.net/Europe/Berlin".
const TimeZone* systemZoneNamed(std::string_view tzid) {
    if (const TimeZone* zone = findZone(tzid)) {
        return zone;
    }
    if (!tzid.starts_with('/')) {
        return nullptr;
    }
    for (std::size_t slash = tzid.find('/', 1); slash != std::string_view::npos;
         slash = tzid.find('/', slash + 1)) {
        if (const TimeZone* zone = findZone(tzid.substr(slash + 1))) {
            return zone;
        }
    }
    return nullptr;
}

icaltimetype fromWall(date::local_seconds wall) {
    const auto day = date::floor<date::days>(wall);
    const date::year_month_day ymd{day};
    const date::hh_mm_ss hms{wall - day};
    icaltimetype time = icaltime_null_time();
    time.year = static_cast<int>(ymd.year());
    time.month = static_cast<int>(static_cast<unsigned>(ymd.month()));
    time.day = static_cast<int>(static_cast<unsigned>(ymd.day()));
    time.hour = static_cast<int>(hms.hours().count());
    time.minute = static_cast<int>(hms.minutes().count());
    time.second = static_cast<int>(hms.seconds().count());
    time.is_date = 0;
    time.zone = nullptr;
    return time;
}

icaltimetype fromDay(date::sys_days day) {
    const date::year_month_day ymd{day};
    icaltimetype time = icaltime_null_date();
    time.year = static_cast<int>(ymd.year());
    time.month = static_cast<int>(static_cast<unsigned>(ymd.month()));
    time.day = static_cast<int>(static_cast<unsigned>(ymd.day()));
    time.hour = time.minute = time.second = 0;  // libical's null date has -1 there
    return time;
}

date::local_seconds wallOf(const icaltimetype& time) {
    const date::year_month_day ymd{date::year{time.year},
                                   date::month{static_cast<unsigned>(time.month)},
                                   date::day{static_cast<unsigned>(time.day)}};
    return date::local_days{ymd} + std::chrono::hours{time.hour} +
           std::chrono::minutes{time.minute} + seconds{time.second};
}

date::sys_days dayOfValue(const icaltimetype& time) {
    return date::sys_days{date::year{time.year} / static_cast<unsigned>(time.month) /
                          static_cast<unsigned>(time.day)};
}

/// The wall-clock time (or date) that writes the instant in the form.
icaltimetype valueFor(Instant instant, const TimeForm& form, const TimeZone& zone) {
    const auto whole = date::floor<seconds>(instant);
    switch (form.kind) {
        case TimeForm::Kind::date:
            return fromDay(dayOf(instant, zone));
        case TimeForm::Kind::utc: {
            icaltimetype time = fromWall(date::local_seconds{whole.time_since_epoch()});
            time.zone = icaltimezone_get_utc_timezone();
            return time;
        }
        case TimeForm::Kind::zoned:
            if (form.system != nullptr) {
                return fromWall(date::floor<seconds>(localTime(whole, *form.system)));
            }
            if (form.fileZone != nullptr) {
                icaltimetype time = icaltime_from_timet_with_zone(
                    static_cast<time_t>(whole.time_since_epoch().count()), 0, form.fileZone);
                time.zone = nullptr;
                return time;
            }
            // A TZID nobody knows: its times are read as the user's wall clock, so write them so.
            return fromWall(date::floor<seconds>(localTime(whole, zone)));
        case TimeForm::Kind::floating:
            break;
    }
    return fromWall(date::floor<seconds>(localTime(whole, zone)));
}

/// The occurrence a wall-clock value of the given form stands for.
OccurrenceKey keyOfValue(const icaltimetype& time, const TimeForm& form, const TimeZone& zone) {
    if (time.is_date != 0) {
        return dayOfValue(time);
    }
    const date::local_seconds wall = wallOf(time);
    const auto local = [&](const TimeZone& in) {
        return date::floor<seconds>(
            fromLocal(date::local_time<std::chrono::microseconds>{wall}, in));
    };
    switch (form.kind) {
        case TimeForm::Kind::utc:
            return date::sys_seconds{wall.time_since_epoch()};
        case TimeForm::Kind::zoned:
            if (form.system != nullptr) {
                return local(*form.system);
            }
            if (form.fileZone != nullptr) {
                return date::sys_seconds{seconds{icaltime_as_timet_with_zone(time, form.fileZone)}};
            }
            return local(zone);
        case TimeForm::Kind::date:
        case TimeForm::Kind::floating:
            break;
    }
    return local(zone);
}

TimeForm utcForm() {
    return TimeForm{};
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
TimeForm timedForm(icalcomponent* event, icalcomponent* calendar, const Event& values,
                   bool repeating, const TimeZone& zone) {
    icalproperty* start = icalcomponent_get_first_property(event, ICAL_DTSTART_PROPERTY);
    if (start != nullptr && values.timeZone) {
        TimeForm form = formOf(start, calendar);
        if (form.kind == TimeForm::Kind::zoned && form.system != nullptr &&
            form.system == findZone(*values.timeZone)) {
            return form;
        }
    }
    const std::string name{zone.name()};
    if (!repeating || name == "UTC" || name == "Etc/UTC") {
        return utcForm();
    }
    addTimezone(calendar, name);
    return TimeForm{TimeForm::Kind::zoned, name, &zone, nullptr};
}

/// The form the UNTIL of a series starting in `form` must take: RFC 5545 asks for a DATE with a
/// DATE start, a floating time with a floating start, and UTC otherwise.
TimeForm untilForm(const TimeForm& start) {
    if (start.kind == TimeForm::Kind::date || start.kind == TimeForm::Kind::floating) {
        return TimeForm{start.kind, {}, nullptr, nullptr};
    }
    return utcForm();
}

TimeForm startForm(icalcomponent* event, icalcomponent* calendar) {
    icalproperty* start = icalcomponent_get_first_property(event, ICAL_DTSTART_PROPERTY);
    return start != nullptr ? formOf(start, calendar) : utcForm();
}

/// Brings the UNTIL of the rules the component keeps into the form of its DTSTART again, after
/// an event turned from timed into all-day or back, or from floating into UTC.
void conformUntil(icalcomponent* event, icalcomponent* calendar, const TimeZone& zone) {
    const TimeForm start = startForm(event, calendar);
    const TimeForm wanted = untilForm(start);
    for (icalproperty* property : propertiesOf(event, ICAL_RRULE_PROPERTY)) {
        icalrecurrencetype rule = icalproperty_get_rrule(property);
        if (icaltime_is_null_time(rule.until)) {
            continue;
        }
        const bool isDate = rule.until.is_date != 0;
        const bool isUtc = icaltime_is_utc(rule.until) != 0;
        const TimeForm::Kind kind = isDate  ? TimeForm::Kind::date
                                    : isUtc ? TimeForm::Kind::utc
                                            : TimeForm::Kind::floating;
        if (kind == wanted.kind) {
            continue;
        }
        // The last instant the old UNTIL lets through, read the way the old value was meant.
        Instant last;
        if (isDate) {
            const auto next = dayOfValue(rule.until) + date::days{1};
            const date::year_month_day ymd{next};
            last = startOfDay(static_cast<int>(ymd.year()), static_cast<unsigned>(ymd.month()),
                              static_cast<unsigned>(ymd.day()), zone)
                       .value_or(Instant{next}) -
                   seconds{1};
        } else {
            const auto key = keyOfValue(rule.until, TimeForm{kind, {}, nullptr, nullptr}, zone);
            last = Instant{std::get<date::sys_seconds>(key)};
        }
        rule.until = wanted.kind == TimeForm::Kind::date
                         ? fromDay(date::sys_days{
                               date::floor<date::days>(localTime(last, zone)).time_since_epoch()})
                         : valueFor(last, wanted, zone);
        icalproperty_set_rrule(property, rule);
    }
}

void reformExceptions(icalcomponent* calendar, icalcomponent* master, const TimeForm& before,
                      const TimeZone& zone);

bool writeTimes(icalcomponent* event, icalcomponent* calendar, const Event& values, bool repeating,
                const TimeZone& zone) {
    const TimeForm before = startForm(event, calendar);
    bool changed = false;
    const Instant start = *values.startDate;
    if (values.allDay) {
        const AllDayDates dates = allDayDates(start, values.endDate, zone);
        changed |= setProperty(event, Property{icalproperty_new_dtstart(fromDay(dates.first))});
        changed |= setProperty(event, Property{icalproperty_new_dtend(fromDay(dates.end))});
        changed |= removeAll(event, ICAL_DURATION_PROPERTY);
    } else {
        const TimeForm form = timedForm(event, calendar, values, repeating, zone);
        changed |= setProperty(event, timeProperty(ICAL_DTSTART_PROPERTY, start, form, zone));
        const bool zeroLength =
            !values.endDate || date::floor<seconds>(*values.endDate) == date::floor<seconds>(start);
        if (zeroLength) {
            // Without DTEND or DURATION a timed event lasts no time at all.
            changed |= removeAll(event, ICAL_DTEND_PROPERTY);
        } else {
            changed |=
                setProperty(event, timeProperty(ICAL_DTEND_PROPERTY, *values.endDate, form, zone));
        }
        changed |= removeAll(event, ICAL_DURATION_PROPERTY);
    }
    if (changed) {
        conformUntil(event, calendar, zone);
        if (icalcomponent_get_first_property(event, ICAL_RECURRENCEID_PROPERTY) == nullptr) {
            reformExceptions(calendar, event, before, zone);
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

Property ruleProperty(const RecurrenceRule& rule, const TimeForm& start, const TimeZone& zone) {
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
            const Instant until = std::get<Instant>(*rule.end);
            recurrence.until = valueFor(until, untilForm(start), zone);
        }
    }
    return Property{icalproperty_new_rrule(recurrence)};
}

bool writeRules(icalcomponent* event, icalcomponent* calendar,
                const std::vector<RecurrenceRule>& rules, const TimeZone& zone) {
    const TimeForm start = startForm(event, calendar);
    std::vector<Property> fresh;
    for (const RecurrenceRule& rule : rules) {
        fresh.push_back(ruleProperty(rule, start, zone));
    }
    const auto existing = propertiesOf(event, ICAL_RRULE_PROPERTY);
    const bool same = existing.size() == fresh.size() &&
                      std::equal(existing.begin(), existing.end(), fresh.begin(),
                                 [](icalproperty* old, const Property& now) {
                                     return valueText(old) == valueText(now.get());
                                 });
    if (same) {
        return false;
    }
    removeAll(event, ICAL_RRULE_PROPERTY);
    for (Property& property : fresh) {
        icalcomponent_add_property(event, property.release());
    }
    return true;
}

std::string uidOf(icalcomponent* event) {
    const char* uid = icalcomponent_get_uid(event);
    return uid != nullptr ? uid : "";
}

std::vector<icalcomponent*> overridesOf(icalcomponent* calendar, std::string_view uid) {
    std::vector<icalcomponent*> found;
    for (icalcomponent* event : eventsOf(calendar)) {
        if (icalcomponent_get_first_property(event, ICAL_RECURRENCEID_PROPERTY) != nullptr &&
            uidOf(event) == uid) {
            found.push_back(event);
        }
    }
    return found;
}

void dropComponent(icalcomponent* calendar, icalcomponent* event) {
    icalcomponent_remove_component(calendar, event);
    icalcomponent_free(event);
}

/// After a series' DTSTART moved between UTC, a zone and floating time, its RECURRENCE-IDs and
/// EXDATEs are written again in the new form, naming the same instants: RFC 5545 asks them to
/// match DTSTART, and peers compare them as written. Dates cannot follow a change between
/// all-day and timed; those are left to `dropStrayExceptions`.
void reformExceptions(icalcomponent* calendar, icalcomponent* master, const TimeForm& before,
                      const TimeZone& zone) {
    const TimeForm now = startForm(master, calendar);
    const bool timed = before.kind != TimeForm::Kind::date && now.kind != TimeForm::Kind::date;
    if (!timed || (before.kind == now.kind && before.tzid == now.tzid)) {
        return;
    }
    const auto reform = [&](icalcomponent* component, icalproperty* property) {
        const auto key = keyOf(property, calendar, zone);
        if (!key || !std::holds_alternative<date::sys_seconds>(*key)) {
            return;
        }
        const Instant instant{std::get<date::sys_seconds>(*key)};
        icalcomponent_add_property(
            component, timeProperty(icalproperty_isa(property), instant, now, zone).release());
        icalcomponent_remove_property(component, property);
        icalproperty_free(property);
    };
    for (icalproperty* exdate : propertiesOf(master, ICAL_EXDATE_PROPERTY)) {
        reform(master, exdate);
    }
    for (icalcomponent* override : overridesOf(calendar, uidOf(master))) {
        reform(override, icalcomponent_get_first_property(override, ICAL_RECURRENCEID_PROPERTY));
    }
}

enum class Answer { yes, no, unknown };

/// Whether the series still has an occurrence at `key`: its DTSTART, an RDATE, or an instance
/// of one of its rules. Expansion stops past the key; a rule that cannot be expanded, or one
/// that would take too long to reach it, answers "unknown" so that nothing is dropped on a guess.
Answer isOccurrence(icalcomponent* master, icalcomponent* calendar, const OccurrenceKey& key,
                    const TimeZone& zone) {
    icalproperty* startProperty = icalcomponent_get_first_property(master, ICAL_DTSTART_PROPERTY);
    const auto startValue = startProperty != nullptr ? timeOf(startProperty) : std::nullopt;
    if (!startValue) {
        return Answer::unknown;
    }
    const TimeForm form = formOf(startProperty, calendar);
    if (keyOfValue(*startValue, form, zone) == key) {
        return Answer::yes;
    }
    for (icalproperty* rdate : propertiesOf(master, ICAL_RDATE_PROPERTY)) {
        if (keyOf(rdate, calendar, zone) == key) {
            return Answer::yes;
        }
    }
    Answer answer = Answer::no;
    for (icalproperty* property : propertiesOf(master, ICAL_RRULE_PROPERTY)) {
        icalrecurrencetype rule = icalproperty_get_rrule(property);
        // UNTIL is applied here, in instants: libical would compare a zoned start with a UTC
        // UNTIL as if both were UTC.
        bool bounded = false;
        OccurrenceKey until{};
        if (!icaltime_is_null_time(rule.until)) {
            const TimeForm::Kind kind = rule.until.is_date != 0            ? TimeForm::Kind::date
                                        : icaltime_is_utc(rule.until) != 0 ? TimeForm::Kind::utc
                                                                           : form.kind;
            until =
                keyOfValue(rule.until, TimeForm{kind, form.tzid, form.system, form.fileZone}, zone);
            bounded = until.index() == key.index();
        }
        rule.until = icaltime_null_time();
        icaltimetype wallStart = *startValue;
        wallStart.zone = nullptr;
        const Iterator iterator{icalrecur_iterator_new(rule, wallStart)};
        if (!iterator) {
            answer = Answer::unknown;
            continue;
        }
        constexpr int patience = 1'000'000;
        int steps = 0;
        for (; steps < patience; ++steps) {
            const icaltimetype next = icalrecur_iterator_next(iterator.get());
            if (icaltime_is_null_time(next)) {
                break;
            }
            const OccurrenceKey found = keyOfValue(next, form, zone);
            if ((bounded && found > until) || found > key) {
                break;
            }
            if (found == key) {
                return Answer::yes;
            }
        }
        if (steps == patience) {
            answer = Answer::unknown;
        }
    }
    return answer;
}

}  // namespace

std::string serialize(const icalcomponent* component) {
    char* text = icalcomponent_as_ical_string_r(const_cast<icalcomponent*>(component));
    std::string result = text != nullptr ? text : "";
    std::free(text);
    return result;
}

Component newCalendar() {
    Component calendar{icalcomponent_new_vcalendar()};
    icalcomponent_add_property(calendar.get(), icalproperty_new_version("2.0"));
    icalcomponent_add_property(calendar.get(),
                               icalproperty_new_prodid("-//ravu-calendar//ravu-calendar//EN"));
    return calendar;
}

std::string newUid() {
    std::array<unsigned char, 16> bytes{};
    bool filled = false;
    try {
        std::random_device device;
        for (unsigned char& byte : bytes) {
            byte = static_cast<unsigned char>(device());
        }
        filled = true;
    } catch (const std::exception&) {
    }
    if (!filled) {
        std::ifstream urandom("/dev/urandom", std::ios::binary);
        filled =
            static_cast<bool>(urandom.read(reinterpret_cast<char*>(bytes.data()), bytes.size()));
    }
    if (!filled) {
        // No source of randomness at all: a clock-seeded generator still gives distinct names,
        // and a new file never replaces an existing one anyway.
        std::mt19937_64 generator(static_cast<std::uint64_t>(
            std::chrono::system_clock::now().time_since_epoch().count()));
        for (unsigned char& byte : bytes) {
            byte = static_cast<unsigned char>(generator());
        }
    }
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    std::string uid;
    char hex[3];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            uid += '-';
        }
        std::snprintf(hex, sizeof hex, "%02x", bytes[i]);
        uid += hex;
    }
    return uid;
}

std::string cleanText(std::string_view text) {
    const std::string valid = vdir::repairUtf8(std::string{text});
    std::string clean;
    clean.reserve(valid.size());
    for (std::size_t i = 0; i < valid.size(); ++i) {
        const auto c = static_cast<unsigned char>(valid[i]);
        if (c == '\r') {
            clean += '\n';
            i += (i + 1 < valid.size() && valid[i + 1] == '\n') ? 1 : 0;
        } else if (c == 0xC2 && i + 1 < valid.size() &&
                   static_cast<unsigned char>(valid[i + 1]) <= 0x9F) {
            ++i;  // U+0080..U+009F, the C1 controls
        } else if ((c >= 0x20 && c != 0x7F) || c == '\t' || c == '\n') {
            clean += static_cast<char>(c);
        }
    }
    return clean;
}

date::sys_days dayOf(Instant instant, const TimeZone& zone) {
    if (instant.time_since_epoch() % date::days{1} == Instant::duration::zero()) {
        return date::floor<date::days>(instant);
    }
    return date::sys_days{date::floor<date::days>(localTime(instant, zone)).time_since_epoch()};
}

AllDayDates allDayDates(Instant start, std::optional<Instant> end, const TimeZone& zone) {
    const date::sys_days first = dayOf(start, zone);
    date::sys_days last = first;
    if (end) {
        const bool onUtcMidnight =
            end->time_since_epoch() % date::days{1} == Instant::duration::zero();
        const date::sys_days endsOn =
            onUtcMidnight
                ? date::floor<date::days>(*end) - date::days{1}
                : date::sys_days{date::floor<date::days>(localTime(*end - seconds{1}, zone))
                                     .time_since_epoch()};
        last = std::max(first, endsOn);
    }
    return AllDayDates{first, last + date::days{1}};
}

TimeForm formOf(const icalproperty* property, icalcomponent* calendar) {
    const auto value = timeOf(property);
    if (!value || value->is_date != 0) {
        return TimeForm{value ? TimeForm::Kind::date : TimeForm::Kind::utc, {}, nullptr, nullptr};
    }
    if (icaltime_is_utc(*value) != 0) {
        return utcForm();
    }
    std::string tzid = tzidOf(property);
    if (tzid.empty()) {
        return TimeForm{TimeForm::Kind::floating, {}, nullptr, nullptr};
    }
    TimeForm form{TimeForm::Kind::zoned, tzid, systemZoneNamed(tzid), nullptr};
    if (form.system == nullptr && calendar != nullptr) {
        form.fileZone = icalcomponent_get_timezone(calendar, tzid.c_str());
    }
    return form;
}

Property timeProperty(icalproperty_kind kind, Instant instant, const TimeForm& form,
                      const TimeZone& zone) {
    const icaltimetype value = valueFor(instant, form, zone);
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
    if (form.kind == TimeForm::Kind::zoned) {
        icalproperty_add_parameter(property.get(), icalparameter_new_tzid(form.tzid.c_str()));
    }
    return property;
}

WriteError checkWritable(const Event& event) {
    if (!event.startDate) {
        return StoreError{"the event has no start date"};
    }
    if (event.endDate && *event.endDate < *event.startDate) {
        return StoreError{"the event's end date lies before its start date"};
    }
    const auto outOfRange = StoreError{"dates before the year 1 or after 9999 cannot be saved"};
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

bool writeFields(icalcomponent* event, icalcomponent* calendar, const Event& values, Fields which,
                 const TimeZone& zone) {
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
    const bool repeating =
        master && (which.rules ? !values.recurrenceRules.empty() : repeats(event));
    // A series' times are written again with a new rule, since they may have to take a zone.
    if ((which.times || (which.rules && repeating && !values.allDay)) && values.startDate) {
        changed |= writeTimes(event, calendar, values, repeating, zone);
    }
    if (which.rules) {
        changed |= writeRules(event, calendar, values.recurrenceRules, zone);
    }
    return changed;
}

void touch(icalcomponent* event, Instant now) {
    const TimeForm utc = utcForm();
    const icaltimetype stamp = valueFor(now, utc, utcZone());
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
    const icaltimetype stamp = valueFor(now, utcForm(), utcZone());
    icalcomponent_add_property(event, icalproperty_new_dtstamp(stamp));
    icalcomponent_add_property(event, icalproperty_new_created(stamp));
    icalcomponent_add_property(event, icalproperty_new_lastmodified(stamp));
    icalcomponent_add_property(event, icalproperty_new_sequence(0));
}

std::optional<OccurrenceKey> keyOf(icalproperty* property, icalcomponent* calendar,
                                   const TimeZone& zone) {
    const auto value = timeOf(property);
    if (!value) {
        return std::nullopt;
    }
    return keyOfValue(*value, formOf(property, calendar), zone);
}

OccurrenceKey keyOf(Instant occurrence, const TimeForm& series, const TimeZone& zone) {
    if (series.kind == TimeForm::Kind::date) {
        return dayOf(occurrence, zone);
    }
    return date::floor<seconds>(occurrence);
}

icalcomponent* findOverride(icalcomponent* calendar, std::string_view uid, const OccurrenceKey& key,
                            const TimeZone& zone) {
    for (icalcomponent* event : overridesOf(calendar, uid)) {
        icalproperty* rid = icalcomponent_get_first_property(event, ICAL_RECURRENCEID_PROPERTY);
        if (keyOf(rid, calendar, zone) == key) {
            return event;
        }
    }
    return nullptr;
}

Component makeOverride(icalcomponent* master, icalcomponent* calendar, Instant occurrence,
                       const TimeZone& zone) {
    Component copy{icalcomponent_new_clone(master)};
    for (const icalproperty_kind kind :
         {ICAL_RRULE_PROPERTY, ICAL_RDATE_PROPERTY, ICAL_EXDATE_PROPERTY, ICAL_EXRULE_PROPERTY,
          ICAL_RECURRENCEID_PROPERTY}) {
        removeAll(copy.get(), kind);
    }
    const TimeForm form = startForm(master, calendar);
    icalcomponent_add_property(
        copy.get(), timeProperty(ICAL_RECURRENCEID_PROPERTY, occurrence, form, zone).release());
    return copy;
}

bool excludeOccurrence(icalcomponent* calendar, icalcomponent* master, Instant occurrence,
                       const TimeZone& zone, Instant now) {
    const TimeForm form = startForm(master, calendar);
    const OccurrenceKey key = keyOf(occurrence, form, zone);
    bool changed = false;
    if (icalcomponent* override = findOverride(calendar, uidOf(master), key, zone)) {
        dropComponent(calendar, override);
        changed = true;
    }
    for (icalproperty* exdate : propertiesOf(master, ICAL_EXDATE_PROPERTY)) {
        if (keyOf(exdate, calendar, zone) == key) {
            return changed;
        }
    }
    icalcomponent_add_property(
        master, timeProperty(ICAL_EXDATE_PROPERTY, occurrence, form, zone).release());
    touch(master, now);
    return true;
}

bool dropStrayExceptions(icalcomponent* calendar, icalcomponent* master, const TimeZone& zone) {
    const auto stray = [&](icalproperty* property) {
        const auto key = keyOf(property, calendar, zone);
        return key && isOccurrence(master, calendar, *key, zone) == Answer::no;
    };
    for (icalcomponent* override : overridesOf(calendar, uidOf(master))) {
        if (stray(icalcomponent_get_first_property(override, ICAL_RECURRENCEID_PROPERTY))) {
            dropComponent(calendar, override);
        }
    }
    bool changed = false;
    for (icalproperty* exdate : propertiesOf(master, ICAL_EXDATE_PROPERTY)) {
        if (stray(exdate)) {
            icalcomponent_remove_property(master, exdate);
            icalproperty_free(exdate);
            changed = true;
        }
    }
    return changed;
}

void endSeriesBefore(icalcomponent* calendar, icalcomponent* master, Instant occurrence,
                     const TimeZone& zone) {
    const TimeForm form = startForm(master, calendar);
    const OccurrenceKey key = keyOf(occurrence, form, zone);
    icaltimetype until;
    if (form.kind == TimeForm::Kind::date) {
        until = fromDay(std::get<date::sys_days>(key) - date::days{1});
    } else {
        until = valueFor(occurrence - seconds{1}, untilForm(form), zone);
    }
    for (icalproperty* property : propertiesOf(master, ICAL_RRULE_PROPERTY)) {
        icalrecurrencetype rule = icalproperty_get_rrule(property);
        rule.count = 0;
        rule.until = until;
        icalproperty_set_rrule(property, rule);
    }
    for (const icalproperty_kind kind : {ICAL_RDATE_PROPERTY, ICAL_EXDATE_PROPERTY}) {
        for (icalproperty* property : propertiesOf(master, kind)) {
            const auto found = keyOf(property, calendar, zone);
            if (found && *found >= key) {
                icalcomponent_remove_property(master, property);
                icalproperty_free(property);
            }
        }
    }
    for (icalcomponent* override : overridesOf(calendar, uidOf(master))) {
        const auto found = keyOf(
            icalcomponent_get_first_property(override, ICAL_RECURRENCEID_PROPERTY), calendar, zone);
        if (found && *found >= key) {
            dropComponent(calendar, override);
        }
    }
}

bool repeats(icalcomponent* master) {
    return icalcomponent_get_first_property(master, ICAL_RRULE_PROPERTY) != nullptr ||
           icalcomponent_get_first_property(master, ICAL_RDATE_PROPERTY) != nullptr;
}

}  // namespace ravu::ical

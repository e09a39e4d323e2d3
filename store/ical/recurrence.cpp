// Reading a series' repetition: each RRULE made ready for the expander (libical's iterator, the
// Gregorian path or the clock path), and the RDATEs, EXDATEs and RECURRENCE-IDs placed in the
// series the way the expander keys its occurrences.
#include <algorithm>
#include <iterator>

#include "store/ical/model.h"

namespace ravu::ical {
using namespace std::chrono_literals;
using std::chrono::seconds;

namespace {

/// The BY list without repeated values: libical would give each instance once per repetition.
void dropRepeats(short* values, std::size_t size) {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < size && values[i] != ICAL_RECURRENCE_ARRAY_MAX; ++i) {
        if (std::find(values, values + kept, values[i]) == values + kept) {
            values[kept++] = values[i];
        }
    }
    if (kept < size) {
        values[kept] = ICAL_RECURRENCE_ARRAY_MAX;
    }
}

/// Where libical's iterator must start a WEEKLY rule for its weeks to be counted from the week of
/// `start`, the WKST-started week that holds DTSTART: on the weekday BYDAY names first, in that
/// week. libical moves its start to that weekday, counts its weeks from the week it lands in, and
/// lands a week early when DTSTART's weekday comes before WKST's.
local_seconds weekAnchor(const icalrecurrencetype& rule, local_seconds start) {
    const auto day = date::floor<date::days>(start);
    const int weekStart =
        rule.week_start >= ICAL_SUNDAY_WEEKDAY && rule.week_start <= ICAL_SATURDAY_WEEKDAY
            ? rule.week_start
            : ICAL_MONDAY_WEEKDAY;
    const auto inWeek = [&](int weekday) { return (weekday - weekStart + 7) % 7; };
    const int own = static_cast<int>(date::weekday{day}.c_encoding()) + 1;
    const int head = rule.by_day[0] != ICAL_RECURRENCE_ARRAY_MAX
                         ? icalrecurrencetype_day_day_of_week(rule.by_day[0])
                         : own;
    return start + date::days{inWeek(head) - inWeek(own)};
}

/// The rule ready for the iterator, or none when libical cannot expand it.
std::optional<Rule> prepareRule(icalrecurrencetype rule, const ReadEvent& master,
                                const TimeZone& user) {
    if (rule.freq == ICAL_NO_RECURRENCE || rule.interval < 1) {
        return std::nullopt;
    }
    // An ordinal such as "1MO" only means something in a monthly or yearly rule; elsewhere
    // libical yields wrong days for it, so it is read as the plain weekday.
    if (rule.freq != ICAL_MONTHLY_RECURRENCE && rule.freq != ICAL_YEARLY_RECURRENCE) {
        for (short& day : rule.by_day) {
            if (day == ICAL_RECURRENCE_ARRAY_MAX) {
                break;
            }
            day = static_cast<short>(icalrecurrencetype_day_day_of_week(day));
        }
    }
    dropRepeats(rule.by_second, std::size(rule.by_second));
    dropRepeats(rule.by_minute, std::size(rule.by_minute));
    dropRepeats(rule.by_hour, std::size(rule.by_hour));
    dropRepeats(rule.by_day, std::size(rule.by_day));
    dropRepeats(rule.by_month_day, std::size(rule.by_month_day));
    dropRepeats(rule.by_year_day, std::size(rule.by_year_day));
    dropRepeats(rule.by_week_no, std::size(rule.by_week_no));
    dropRepeats(rule.by_month, std::size(rule.by_month));
    dropRepeats(rule.by_set_pos, std::size(rule.by_set_pos));

    const auto none = [](const short* values) { return values[0] == ICAL_RECURRENCE_ARRAY_MAX; };
    if (rule.freq == ICAL_YEARLY_RECURRENCE && none(rule.by_year_day) && none(rule.by_week_no) &&
        !none(rule.by_month_day) && none(rule.by_month)) {
        // Days of the month without months mean those days of every month; libical would take
        // only the month of DTSTART.
        for (short month = 1; month <= 12; ++month) {
            rule.by_month[month - 1] = month;
        }
        rule.by_month[12] = ICAL_RECURRENCE_ARRAY_MAX;
    }
    if (rule.freq == ICAL_YEARLY_RECURRENCE && !none(rule.by_week_no) && none(rule.by_day) &&
        none(rule.by_year_day) && none(rule.by_month_day)) {
        // Weeks of the year without days mean DTSTART's weekday in those weeks.
        const date::weekday weekday{date::floor<date::days>(master.wall)};
        rule.by_day[0] = static_cast<short>(weekday.c_encoding() + 1);
        rule.by_day[1] = ICAL_RECURRENCE_ARRAY_MAX;
    }
    Rule prepared;
    prepared.rule = rule;
    prepared.count = rule.count;
    prepared.anchor = master.wall;
    prepared.clock = clockOf(rule, master.wall);
    prepared.libicalTakes = expandable(rule, master.wall);
    if (!prepared.clock && !prepared.libicalTakes) {
        return std::nullopt;
    }
    if (rule.rscale != nullptr) {
        // The name lives in the parsed file, which goes before the rule is used.
        prepared.rscale = std::make_shared<const std::string>(rule.rscale);
        prepared.rule.rscale = const_cast<char*>(prepared.rscale->c_str());
    }
    if (!icaltime_is_null_time(rule.until)) {
        const auto wall = wallOf(rule.until);
        if (!wall) {
            return std::nullopt;
        }
        if (rule.until.is_date) {
            prepared.until = *wall + date::days{1} - 1s;  // the whole day
        } else if (icaltime_is_utc(rule.until) && !master.event.allDay) {
            prepared.until = master.form.toWall(asUtc(*wall), user);
        } else {
            prepared.until = *wall;
        }
        prepared.rule.until = icaltime_null_time();
    }
    if (rule.freq == ICAL_WEEKLY_RECURRENCE && rule.interval > 1) {
        prepared.anchor = weekAnchor(rule, master.wall);
        prepared.rule.count = 0;
    }
    if (prepared.clock) {
        return prepared;
    }
    prepared.gregorian = gregorianOf(prepared.rule, master.wall);
    if (!prepared.gregorian) {
        prepared.probe.reset(
            icalrecur_iterator_new(prepared.rule, icalTime(prepared.anchor, master.event.allDay)));
        if (!prepared.probe) {
            return std::nullopt;
        }
    }
    return prepared;
}

}  // namespace

std::optional<std::pair<local_seconds, Instant>> placeIn(const ReadEvent& master,
                                                         icalproperty* property,
                                                         const icaltimetype& value, Model& model) {
    const TimeZone& user = *model.user;
    const auto wall = wallOf(value);
    if (!wall) {
        return std::nullopt;
    }
    if (master.event.allDay) {
        const local_days day = date::floor<date::days>(*wall);
        return std::pair{local_seconds{day}, dayStart(day, user)};
    }
    if (value.is_date) {
        const local_seconds at = *wall + (master.wall - date::floor<date::days>(master.wall));
        return std::pair{at, master.form.toInstant(at, user)};
    }
    if (master.form.kind == Form::Kind::floating && icaltime_is_utc(value) &&
        icalproperty_isa(property) != ICAL_RDATE_PROPERTY) {
        // An exception of a floating series written in UTC names the occurrence at that wall
        // time, as libical and python icalendar compare them: its Z is ignored.
        return std::pair{*wall, master.form.toInstant(*wall, user)};
    }
    const Form form = formOf(property, value, model, master.form);
    const Instant start = form.toInstant(*wall, user);
    return std::pair{form.sameZone(master.form) ? *wall : master.form.toWall(start, user), start};
}

bool readRecurrence(Model& model, icalcomponent* vevent) {
    const TimeZone& user = *model.user;
    ReadEvent& master = *model.master;
    for (icalproperty* property : propertiesOf(vevent, ICAL_RRULE_PROPERTY)) {
        auto rule = prepareRule(icalproperty_get_rrule(property), master, user);
        if (!rule) {
            return false;
        }
        model.rules.push_back(std::move(*rule));
    }
    for (icalproperty* property : propertiesOf(vevent, ICAL_RDATE_PROPERTY)) {
        const icalvalue* value = icalproperty_get_value(property);
        if (value == nullptr) {
            continue;
        }
        const bool isPeriod = icalvalue_isa(value) == ICAL_PERIOD_VALUE ||
                              (icalvalue_isa(value) == ICAL_DATETIMEPERIOD_VALUE &&
                               icaltime_is_null_time(icalvalue_get_datetimeperiod(value).time));
        const auto startValue = timeOf(property);
        const auto placed =
            startValue ? placeIn(master, property, *startValue, model) : std::nullopt;
        if (!placed) {
            continue;
        }
        ExtraStart extra{placed->first, placed->second, std::nullopt};
        if (isPeriod && !master.event.allDay) {
            const icalperiodtype period = icalvalue_isa(value) == ICAL_PERIOD_VALUE
                                              ? icalvalue_get_period(value)
                                              : icalvalue_get_datetimeperiod(value).period;
            if (!icaltime_is_null_time(period.end)) {
                const auto end = placeIn(master, property, period.end, model);
                if (!end || end->second < extra.start) {
                    continue;
                }
                extra.end = end->second;
            } else {
                const seconds span{icaldurationtype_as_int(period.duration)};
                if (span < 0s || span > maxLength) {
                    continue;
                }
                extra.end = extra.start + span;
            }
        }
        model.extraStarts.push_back(extra);
    }
    for (icalproperty* property : propertiesOf(vevent, ICAL_EXDATE_PROPERTY)) {
        const auto value = timeOf(property);
        if (!value) {
            continue;
        }
        if (value->is_date && !master.event.allDay) {
            // A date excludes the series' occurrences on that day, whatever their time.
            if (const auto wall = wallOf(*value)) {
                model.excludedDays.push_back(date::floor<date::days>(*wall));
            }
            continue;
        }
        const auto placed = placeIn(master, property, *value, model);
        if (!placed) {
            continue;
        }
        model.excluded.push_back(model.keyOf(placed->first, placed->second));
    }
    std::sort(model.excluded.begin(), model.excluded.end());
    std::sort(model.excludedDays.begin(), model.excludedDays.end());
    return true;
}

std::optional<Instant> placedKey(Model& model, icalproperty* property, const icaltimetype& value) {
    if (!model.master) {
        return std::nullopt;
    }
    const auto placed = placeIn(*model.master, property, value, model);
    return placed ? std::optional{model.keyOf(placed->first, placed->second)} : std::nullopt;
}

}  // namespace ravu::ical

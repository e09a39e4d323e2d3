// Reading an item: iCalendar text into libical's tree, and the tree into the model that the
// expander and the edits share.
#include <algorithm>
#include <cctype>
#include <iterator>

#include "convert/text.h"
#include "convert/time.h"
#include "store/ical/model.h"

namespace ravu::ical {
using namespace std::chrono_literals;
using std::chrono::seconds;

namespace {

Instant asUtc(local_seconds wall) {
    return Instant{wall.time_since_epoch()};
}

/// Whether a zone defined in the file costs no more than a real zone. libical works out a zone's
/// offsets by expanding every observance from its start to the year asked for: an observance
/// that repeats every second from 1601, or twenty thousand observances, take minutes and
/// gigabytes. Real zones change their clocks at most a few times a year.
bool boundedZone(icalcomponent* vtimezone) {
    constexpr int maxObservances = 32;
    constexpr int maxDates = 256;
    constexpr int earliestYear = 1600;
    int observances = 0;
    int dates = 0;
    for (icalcomponent* part = icalcomponent_get_first_component(vtimezone, ICAL_ANY_COMPONENT);
         part != nullptr; part = icalcomponent_get_next_component(vtimezone, ICAL_ANY_COMPONENT)) {
        if (++observances > maxObservances) {
            return false;
        }
        icalproperty* start = icalcomponent_get_first_property(part, ICAL_DTSTART_PROPERTY);
        const auto value = start ? timeOf(start) : std::nullopt;
        const auto wall = value ? wallOf(*value) : std::nullopt;
        if (!wall || date::year_month_day{date::floor<date::days>(*wall)}.year() <
                         date::year{earliestYear}) {
            return false;
        }
        for (icalproperty* rule : propertiesOf(part, ICAL_RRULE_PROPERTY)) {
            const icalrecurrencetype recurrence = icalproperty_get_rrule(rule);
            if (recurrence.freq != ICAL_YEARLY_RECURRENCE || !expandable(recurrence, *wall)) {
                return false;
            }
        }
        dates += icalcomponent_count_properties(part, ICAL_RDATE_PROPERTY);
        if (dates > maxDates) {
            return false;
        }
    }
    return true;
}

/// The item's own copy of the file's VTIMEZONE of that TZID, so that the zone outlives the
/// parsed file. Looking among the file's VTIMEZONEs opens no file; libical's built-in zones
/// would (a TZID of "../../x" names a path there), so they are never asked.
icaltimezone* fileZone(Model& model, const std::string& tzid) {
    for (const auto& [name, zone] : model.fileZones) {
        if (name == tzid) {
            return zone.get();
        }
    }
    if (!model.root) {
        return nullptr;
    }
    icaltimezone* found = icalcomponent_get_timezone(model.root.get(), tzid.c_str());
    icalcomponent* vtimezone = found ? icaltimezone_get_component(found) : nullptr;
    if (vtimezone == nullptr) {
        return nullptr;
    }
    if (!boundedZone(vtimezone)) {
        model.notes.push_back("its time zone \"" + tzid +
                              "\" cannot be used; its times are taken in the user's zone");
        model.fileZones.emplace_back(tzid, nullptr);  // refused once, told once
        return nullptr;
    }
    OwnedZone zone{icaltimezone_new()};
    Component copy{icalcomponent_new_clone(vtimezone)};
    if (!zone || !copy || icaltimezone_set_component(zone.get(), copy.get()) == 0) {
        return nullptr;
    }
    copy.release();  // the zone owns it now
    return model.fileZones.emplace_back(tzid, std::move(zone)).second.get();
}

// --- Properties ------------------------------------------------------------------------------

/// The property name an X-LIC-ERROR is about: libical writes "Can't parse as <type> value in
/// <NAME> property. ..." and "No value for <NAME> property. ...".
std::string_view errorSubject(std::string_view message) {
    const std::size_t end = message.find(" property.");
    if (end == std::string_view::npos) {
        return {};
    }
    const std::size_t begin = message.rfind(' ', end - 1);
    return message.substr(begin == std::string_view::npos ? 0 : begin + 1,
                          end - (begin == std::string_view::npos ? 0 : begin + 1));
}

std::vector<std::string> errorsOf(icalcomponent* component) {
    std::vector<std::string> messages;
    for (icalproperty* error : propertiesOf(component, ICAL_XLICERROR_PROPERTY)) {
        if (const char* message = icalproperty_get_xlicerror(error)) {
            messages.emplace_back(message);
        }
    }
    return messages;
}

/// Whether libical dropped a property of this name from the component for having no value.
bool droppedEmpty(icalcomponent* component, std::string_view name) {
    const auto errors = errorsOf(component);
    return std::any_of(errors.begin(), errors.end(), [&](const std::string& message) {
        return message.starts_with("No value for ") && errorSubject(message) == name;
    });
}

/// Whether libical dropped a property with one of these names for a value it could not read.
bool lost(icalcomponent* component, std::initializer_list<std::string_view> names) {
    const auto errors = errorsOf(component);
    return std::any_of(errors.begin(), errors.end(), [&](const std::string& message) {
        return std::find(names.begin(), names.end(), errorSubject(message)) != names.end();
    });
}

/// Without these the event would be read as something other than what its file says.
bool lostTiming(icalcomponent* component) {
    return lost(component, {"DTSTART", "DTEND", "DURATION", "RECURRENCE-ID"});
}

bool lostRepetition(icalcomponent* component) {
    return lost(component, {"RRULE", "RDATE", "EXRULE"});
}

int countErrors(icalcomponent* component) {
    int count = icalcomponent_count_properties(component, ICAL_XLICERROR_PROPERTY);
    for (icalcomponent* child = icalcomponent_get_first_component(component, ICAL_ANY_COMPONENT);
         child != nullptr;
         child = icalcomponent_get_next_component(component, ICAL_ANY_COMPONENT)) {
        count += countErrors(child);
    }
    return count;
}

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

/// The longest event the store reads: longer ones are a broken file, not a plan.
constexpr date::days maxLength{366 * 100};

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
        if ((length.is_neg && (days.count() != 0 || clock.count() != 0)) || days > maxLength ||
            clock > maxLength) {
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
    auto modified = lastModifiedOf(vevent, model);
    if (!modified && master != nullptr && master != vevent) {
        modified = lastModifiedOf(master, model);
    }
    event.lastModified = modified && model.placement.storedAt
                             ? std::max(*modified, *model.placement.storedAt)
                         : modified ? modified
                                    : model.placement.storedAt;
    out.cancelled = icalcomponent_get_status(vevent) == ICAL_STATUS_CANCELLED;
}

// --- Repetition ------------------------------------------------------------------------------

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

/// The instant and wall time in the series' zone of an RDATE, EXDATE or RECURRENCE-ID value.
/// A DATE in a timed series stands for the series' time of day on that date.
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

/// The repetition of the master: rules, extra starts and exclusions. False when it cannot be
/// read.
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

Form formOf(icalproperty* property, const icaltimetype& value, Model& model, const Form& fallback) {
    if (value.is_date) {
        return Form{Form::Kind::date};
    }
    if (icaltime_is_utc(value)) {
        return Form{Form::Kind::utc};
    }
    std::string tzid = tzidOf(property);
    if (tzid.empty()) {
        return fallback;
    }
    if (const TimeZone* system = systemZone(tzid)) {
        return Form{Form::Kind::zoned, std::move(tzid), system, nullptr};
    }
    if (icaltimezone* own = fileZone(model, tzid)) {
        return Form{Form::Kind::zoned, std::move(tzid), nullptr, own};
    }
    // A zone nobody defines is read as the user's wall clock. A name that is not even of the
    // zone database's form is not kept either, so that no write ever repeats it.
    if (!isZoneName(tzid)) {
        return Form{Form::Kind::floating};
    }
    return Form{Form::Kind::zoned, std::move(tzid), nullptr, nullptr};
}

std::optional<Instant> placedKey(Model& model, icalproperty* property, const icaltimetype& value) {
    if (!model.master) {
        return std::nullopt;
    }
    const auto placed = placeIn(*model.master, property, value, model);
    return placed ? std::optional{model.keyOf(placed->first, placed->second)} : std::nullopt;
}

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

int errorCount(icalcomponent* root) {
    return countErrors(root);
}

}  // namespace ravu::ical

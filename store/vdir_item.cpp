// Reading one item file of the directory store: its times, and its VEVENTs prepared for the
// queries of a run.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <iterator>
#include <utility>

#include "store/vdir_internal.h"

namespace ravu::vdir {
using namespace std::chrono_literals;
using std::chrono::microseconds;
using std::chrono::seconds;

namespace {

/// Reads the whole regular file open as `fd`, at most `limit` bytes; none when it is larger.
std::optional<std::string> readAll(int fd, std::size_t limit) {
    std::string text;
    char buffer[65536];
    while (true) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return std::nullopt;
        }
        if (n == 0) {
            return text;
        }
        if (text.size() + static_cast<std::size_t>(n) > limit) {
            return std::nullopt;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
}

// --- Times ---------------------------------------------------------------------------------

Instant instantOf(local_seconds wall) {
    return Instant{wall.time_since_epoch()};
}

date::local_time<microseconds> precise(local_seconds wall) {
    return date::local_time<microseconds>{wall.time_since_epoch()};
}

/// A TZID the zone database knows, by its name or, for the prefixed names some clients write
/// ("/freeassociation.sourceforge.net/Europe/Berlin"), by the zone name at its end.
const TimeZone* systemZone(std::string_view tzid, std::string& name) {
    if (const TimeZone* zone = findZone(tzid)) {
        name = tzid;
        return zone;
    }
    if (!tzid.starts_with('/')) {
        return nullptr;
    }
    for (std::size_t slash = tzid.find('/'); slash != std::string_view::npos;
         slash = tzid.find('/', slash + 1)) {
        const std::string_view tail = tzid.substr(slash + 1);
        if (tail.find('/') == std::string_view::npos) {
            break;  // a lone word such as "Berlin" names no zone
        }
        if (const TimeZone* zone = findZone(tail)) {
            name = tail;
            return zone;
        }
    }
    return nullptr;
}

/// The text without the VTIMEZONE blocks whose TZID the zone database knows. Times in those
/// zones are taken from the database, and parsing the blocks would cost as much as parsing the
/// event itself. Blocks written any other way (lower case, a folded TZID) are simply kept.
std::string withoutKnownZones(std::string text) {
    static constexpr std::string_view begin = "BEGIN:VTIMEZONE";
    static constexpr std::string_view end = "\nEND:VTIMEZONE";
    static constexpr std::string_view tzid = "\nTZID:";
    std::size_t from = 0;
    for (std::size_t start; (start = text.find(begin, from)) != std::string::npos;) {
        const std::size_t stop = text.find(end, start);
        if (stop == std::string::npos) {
            break;
        }
        const std::size_t newline = text.find('\n', stop + 1);
        const std::size_t after = newline == std::string::npos ? text.size() : newline + 1;
        from = after;
        const std::size_t name = text.find(tzid, start);
        if ((start > 0 && text[start - 1] != '\n') || name == std::string::npos || name > stop) {
            continue;
        }
        // The value ends at a line break no later than the one that opens the END line.
        const std::size_t valueStart = name + tzid.size();
        const std::size_t valueEnd = text.find('\n', valueStart);
        const bool folded = text[valueEnd + 1] == ' ' || text[valueEnd + 1] == '\t';
        std::string_view value{text.data() + valueStart, valueEnd - valueStart};
        if (value.ends_with('\r')) {
            value.remove_suffix(1);
        }
        std::string known;
        if (!folded && systemZone(value, known) != nullptr) {
            text.erase(start, after - start);
            from = start;
        }
    }
    return text;
}

Zone utcZoneRef() {
    return Zone{Zone::Kind::utc, &utcZone(), nullptr, "UTC"};
}

/// The item's own copy of the file's VTIMEZONE of that TZID, so that the zone outlives the
/// parsed file. Looking among the file's VTIMEZONEs opens no file; libical's built-in zones
/// would (a TZID of "../../x" names a path there), so they are never asked.
icaltimezone* fileZone(LoadedItem& item, const char* tzid) {
    for (const auto& [name, zone] : item.fileZones) {
        if (name == tzid) {
            return zone.get();
        }
    }
    icaltimezone* found = icalcomponent_get_timezone(item.root.get(), tzid);
    icalcomponent* vtimezone = found ? icaltimezone_get_component(found) : nullptr;
    if (vtimezone == nullptr) {
        return nullptr;
    }
    std::unique_ptr<icaltimezone, ZoneFree> zone{icaltimezone_new()};
    IcalPtr copy{icalcomponent_new_clone(vtimezone)};
    if (!zone || !copy || icaltimezone_set_component(zone.get(), copy.get()) == 0) {
        return nullptr;
    }
    copy.release();  // the zone owns it now
    return item.fileZones.emplace_back(tzid, std::move(zone)).second.get();
}

/// The zone of a DATE-TIME property: UTC for a "Z" value; the TZID as a system zone, else as a
/// VTIMEZONE of the file, else floating (an unknown TZID); `fallback` for a value with neither.
Zone zoneOf(icalproperty* property, const icaltimetype& value, LoadedItem& item,
            const Zone& fallback) {
    if (icaltime_is_utc(value)) {
        return utcZoneRef();
    }
    icalparameter* parameter = icalproperty_get_first_parameter(property, ICAL_TZID_PARAMETER);
    const char* tzid = parameter ? icalparameter_get_tzid(parameter) : nullptr;
    if (tzid == nullptr) {
        return fallback;
    }
    Zone zone;
    if (const TimeZone* system = systemZone(tzid, zone.name)) {
        zone.kind = Zone::Kind::system;
        zone.system = system;
        return zone;
    }
    if (icaltimezone* own = fileZone(item, tzid)) {
        zone.kind = Zone::Kind::file;
        zone.file = own;
        return zone;
    }
    return Zone{};
}

// --- Properties ----------------------------------------------------------------------------

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

/// Whether libical dropped a property of this name from the component for having no value.
bool droppedEmpty(icalcomponent* component, std::string_view name) {
    for (icalproperty* error = icalcomponent_get_first_property(component, ICAL_XLICERROR_PROPERTY);
         error != nullptr;
         error = icalcomponent_get_next_property(component, ICAL_XLICERROR_PROPERTY)) {
        const char* message = icalproperty_get_xlicerror(error);
        if (message != nullptr && std::string_view{message}.starts_with("No value for ") &&
            errorSubject(message) == name) {
            return true;
        }
    }
    return false;
}

/// Whether libical dropped a property that places the event in time: without it the item would
/// be read as something other than what its file says.
bool lostTiming(icalcomponent* component) {
    static constexpr std::string_view timing[] = {"DTSTART", "DTEND",         "DURATION", "RRULE",
                                                  "RDATE",   "RECURRENCE-ID", "EXDATE"};
    for (icalproperty* error = icalcomponent_get_first_property(component, ICAL_XLICERROR_PROPERTY);
         error != nullptr;
         error = icalcomponent_get_next_property(component, ICAL_XLICERROR_PROPERTY)) {
        const char* message = icalproperty_get_xlicerror(error);
        if (message != nullptr && std::find(std::begin(timing), std::end(timing),
                                            errorSubject(message)) != std::end(timing)) {
            return true;
        }
    }
    return false;
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

std::optional<Instant> lastModifiedOf(icalcomponent* component, LoadedItem& item,
                                      const TimeZone& user) {
    icalproperty* property =
        icalcomponent_get_first_property(component, ICAL_LASTMODIFIED_PROPERTY);
    if (property == nullptr) {
        return std::nullopt;
    }
    const icaltimetype value = icalproperty_get_lastmodified(property);
    const auto wall = wallOf(value);
    if (!wall) {
        return std::nullopt;
    }
    return zoneOf(property, value, item, Zone{}).toInstant(*wall, user);
}

std::optional<std::string> uidOf(icalcomponent* component) {
    const char* uid = icalcomponent_get_uid(component);
    return uid ? std::optional<std::string>{uid} : std::nullopt;
}

// --- Preparing an item ---------------------------------------------------------------------

/// The longest event the store reads: longer ones are a broken file, not a plan.
constexpr date::days maxLength{366 * 100};

/// Start, length and zone of a VEVENT; false when they cannot be read. `fallback` is the zone
/// of values that carry none (the series' zone for everything but the master's own DTSTART).
bool readTimes(ReadEvent& out, icalcomponent* vevent, LoadedItem& item, const Zone& fallback,
               const TimeZone& user) {
    icalproperty* startProperty = icalcomponent_get_first_property(vevent, ICAL_DTSTART_PROPERTY);
    if (startProperty == nullptr) {
        return false;
    }
    const icaltimetype startValue = icalproperty_get_dtstart(startProperty);
    const auto wall = wallOf(startValue);
    if (!wall) {
        return false;
    }
    const bool allDay = startValue.is_date != 0;
    out.event.allDay = allDay;
    out.wall = allDay ? local_seconds{date::floor<date::days>(*wall)} : *wall;
    out.zone = allDay ? Zone{} : zoneOf(startProperty, startValue, item, fallback);
    const Instant start =
        allDay ? dayStart(date::floor<date::days>(*wall), user) : out.zone.toInstant(*wall, user);

    out.nominal = date::days{allDay ? 1 : 0};
    out.exact = 0s;
    if (icalproperty* endProperty = icalcomponent_get_first_property(vevent, ICAL_DTEND_PROPERTY)) {
        const icaltimetype endValue = icalproperty_get_dtend(endProperty);
        const auto endWall = wallOf(endValue);
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
            const Zone endZone =
                endValue.is_date ? out.zone : zoneOf(endProperty, endValue, item, out.zone);
            const Instant end = endZone.toInstant(*endWall, user);
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
        if (length.is_neg && (days.count() != 0 || clock.count() != 0)) {
            return false;
        }
        if (days > maxLength || clock > maxLength) {
            return false;
        }
        if (allDay) {
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
    if (!allDay && (out.zone.kind == Zone::Kind::system || out.zone.kind == Zone::Kind::utc)) {
        out.event.timeZone = out.zone.name;
    }
    return true;
}

/// The texts, last-modified instant and state of a VEVENT.
void readFields(ReadEvent& out, icalcomponent* vevent, icalcomponent* master, LoadedItem& item,
                const TimeZone& user) {
    Event& event = out.event;
    event.identifier = item.name.identifier();
    event.calendarId = item.name.calendar.identifier();
    event.title = textOf(vevent, ICAL_SUMMARY_PROPERTY, "SUMMARY");
    event.location = textOf(vevent, ICAL_LOCATION_PROPERTY, "LOCATION");
    event.url = textOf(vevent, ICAL_URL_PROPERTY, "URL");

    // Peers such as khal rewrite a file without touching LAST-MODIFIED: the file's own time
    // makes their edits visible to the conflict test.
    auto modified = lastModifiedOf(vevent, item, user);
    if (!modified && master != nullptr && master != vevent) {
        modified = lastModifiedOf(master, item, user);
    }
    const Instant fileTime{
        date::floor<microseconds>(std::chrono::nanoseconds{item.stamp.modifiedNs})};
    event.lastModified = modified ? std::max(*modified, fileTime) : fileTime;
    out.cancelled = icalcomponent_get_status(vevent) == ICAL_STATUS_CANCELLED;
}

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

    Rule prepared{rule, std::nullopt, nullptr};
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
            prepared.until = master.zone.toWall(instantOf(*wall), user);
        } else {
            prepared.until = *wall;
        }
        prepared.rule.until = icaltime_null_time();
    }

    struct IteratorFree {
        void operator()(icalrecur_iterator* iterator) const { icalrecur_iterator_free(iterator); }
    };
    const std::unique_ptr<icalrecur_iterator, IteratorFree> probe{
        icalrecur_iterator_new(prepared.rule, icalTime(master.wall, master.event.allDay))};
    if (!probe) {
        return std::nullopt;
    }
    return prepared;
}

/// The program's own model of a rule, for callers that look at a series' repetition. Parts it
/// cannot hold (ordinals, BYMONTHDAY, BYSETPOS ...) are left out, and HOURLY and finer rules
/// have no counterpart: the file keeps the whole rule.
std::optional<RecurrenceRule> modelOf(const Rule& rule, const ReadEvent& master,
                                      const TimeZone& user) {
    RecurrenceRule model;
    switch (rule.rule.freq) {
        case ICAL_DAILY_RECURRENCE:
            model.frequency = Frequency::daily;
            break;
        case ICAL_WEEKLY_RECURRENCE:
            model.frequency = Frequency::weekly;
            break;
        case ICAL_MONTHLY_RECURRENCE:
            model.frequency = Frequency::monthly;
            break;
        case ICAL_YEARLY_RECURRENCE:
            model.frequency = Frequency::yearly;
            break;
        default:
            return std::nullopt;
    }
    model.interval = rule.rule.interval;
    for (const short day : rule.rule.by_day) {
        if (day == ICAL_RECURRENCE_ARRAY_MAX) {
            break;
        }
        const auto weekday = static_cast<Weekday>(icalrecurrencetype_day_day_of_week(day));
        if (std::find(model.daysOfTheWeek.begin(), model.daysOfTheWeek.end(), weekday) ==
            model.daysOfTheWeek.end()) {
            model.daysOfTheWeek.push_back(weekday);
        }
    }
    if (rule.rule.count > 0) {
        model.end = OccurrenceCount{rule.rule.count};
    } else if (rule.until) {
        model.end = master.event.allDay ? dayStart(date::floor<date::days>(*rule.until), user)
                                        : master.zone.toInstant(*rule.until, user);
    }
    return model;
}

/// The instant and wall time in the series' zone of an RDATE, EXDATE or RECURRENCE-ID value.
/// A DATE in a timed series stands for the series' time of day on that date.
std::optional<std::pair<local_seconds, Instant>> placeIn(const ReadEvent& master,
                                                         icalproperty* property,
                                                         const icaltimetype& value,
                                                         LoadedItem& item, const TimeZone& user) {
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
        return std::pair{at, master.zone.toInstant(at, user)};
    }
    const Zone zone = zoneOf(property, value, item, master.zone);
    const Instant start = zone.toInstant(*wall, user);
    return std::pair{zone.kind == master.zone.kind && zone.system == master.zone.system &&
                             zone.file == master.zone.file
                         ? *wall
                         : master.zone.toWall(start, user),
                     start};
}

/// The repetition of the master: rules, extra starts and exclusions. False when it cannot be
/// read.
bool readRecurrence(LoadedItem& item, icalcomponent* vevent, const TimeZone& user) {
    ReadEvent& master = *item.master;
    for (icalproperty* property = icalcomponent_get_first_property(vevent, ICAL_RRULE_PROPERTY);
         property != nullptr;
         property = icalcomponent_get_next_property(vevent, ICAL_RRULE_PROPERTY)) {
        auto rule = prepareRule(icalproperty_get_rrule(property), master, user);
        if (!rule) {
            return false;
        }
        item.rules.push_back(*rule);
        if (auto model = modelOf(*rule, master, user)) {
            master.event.recurrenceRules.push_back(std::move(*model));
        }
    }
    for (icalproperty* property = icalcomponent_get_first_property(vevent, ICAL_RDATE_PROPERTY);
         property != nullptr;
         property = icalcomponent_get_next_property(vevent, ICAL_RDATE_PROPERTY)) {
        const icaldatetimeperiodtype value = icalproperty_get_rdate(property);
        const bool isPeriod = icaltime_is_null_time(value.time);
        const auto placed =
            placeIn(master, property, isPeriod ? value.period.start : value.time, item, user);
        if (!placed) {
            return false;
        }
        ExtraStart extra{placed->first, placed->second, std::nullopt};
        if (isPeriod && !master.event.allDay) {
            if (!icaltime_is_null_time(value.period.end)) {
                const auto end = placeIn(master, property, value.period.end, item, user);
                if (!end || end->second < extra.start) {
                    return false;
                }
                extra.end = end->second;
            } else {
                const icaldurationtype length = value.period.duration;
                const seconds span{icaldurationtype_as_int(length)};
                if (span < 0s || span > maxLength) {
                    return false;
                }
                extra.end = extra.start + span;
            }
        }
        item.extraStarts.push_back(extra);
    }
    for (icalproperty* property = icalcomponent_get_first_property(vevent, ICAL_EXDATE_PROPERTY);
         property != nullptr;
         property = icalcomponent_get_next_property(vevent, ICAL_EXDATE_PROPERTY)) {
        const icaltimetype value = icalproperty_get_exdate(property);
        if (value.is_date && !master.event.allDay) {
            // A date excludes the series' occurrences on that day, whatever their time.
            const auto wall = wallOf(value);
            if (!wall) {
                return false;
            }
            item.excludedDays.push_back(date::floor<date::days>(*wall));
            continue;
        }
        const auto placed = placeIn(master, property, value, item, user);
        if (!placed) {
            return false;
        }
        item.excluded.push_back(item.keyOf(placed->first, placed->second));
    }
    std::sort(item.excluded.begin(), item.excluded.end());
    std::sort(item.excludedDays.begin(), item.excludedDays.end());
    return true;
}

/// The occurrence an override stands for. Without a master its own RECURRENCE-ID decides
/// whether it names a day or an instant.
bool readOverride(ReadEvent& out, icalcomponent* vevent, LoadedItem& item, const TimeZone& user) {
    icalproperty* property = icalcomponent_get_first_property(vevent, ICAL_RECURRENCEID_PROPERTY);
    const icaltimetype value = icalproperty_get_recurrenceid(property);
    std::optional<std::pair<local_seconds, Instant>> placed;
    if (item.master) {
        placed = placeIn(*item.master, property, value, item, user);
    } else if (const auto wall = wallOf(value)) {
        const local_days day = date::floor<date::days>(*wall);
        placed =
            value.is_date
                ? std::pair{local_seconds{day}, dayStart(day, user)}
                : std::pair{*wall, zoneOf(property, value, item, Zone{}).toInstant(*wall, user)};
    }
    if (!placed) {
        return false;
    }
    const bool allDaySeries = item.master ? item.master->event.allDay : value.is_date != 0;
    out.key = allDaySeries ? instantOf(placed->first) : placed->second;

    const Zone fallback = item.master ? item.master->zone : Zone{};
    if (icalcomponent_get_first_property(vevent, ICAL_DTSTART_PROPERTY) != nullptr) {
        if (!readTimes(out, vevent, item, fallback, user)) {
            return false;
        }
    } else if (item.master) {
        // An override without a start keeps the occurrence where the series put it.
        out = ReadEvent{*item.master};
        out.wall = placed->first;
        out.event.startDate = placed->second;
        out.event.endDate = endOf(out, out.wall, placed->second, user);
        out.key = allDaySeries ? instantOf(placed->first) : placed->second;
    } else {
        return false;
    }
    if (item.master && icalcomponent_get_first_property(vevent, ICAL_DTEND_PROPERTY) == nullptr &&
        icalcomponent_get_first_property(vevent, ICAL_DURATION_PROPERTY) == nullptr &&
        out.event.allDay == item.master->event.allDay) {
        // Overrides written with only the fields that changed keep the series' length.
        out.nominal = item.master->nominal;
        out.exact = item.master->exact;
        out.event.endDate = endOf(out, out.wall, *out.event.startDate, user);
    }
    out.event.occurrenceDate = placed->second;
    return true;
}

/// Picks the VEVENTs of the item and resolves them; false when the item cannot be used.
bool prepare(LoadedItem& item, const TimeZone& user) {
    icalcomponent* calendar = item.root.get();
    std::vector<icalcomponent*> vevents;
    for (icalcomponent* vevent = icalcomponent_get_first_component(calendar, ICAL_VEVENT_COMPONENT);
         vevent != nullptr;
         vevent = icalcomponent_get_next_component(calendar, ICAL_VEVENT_COMPONENT)) {
        vevents.push_back(vevent);
    }
    if (vevents.empty()) {
        return false;
    }
    const auto isOverride = [](icalcomponent* vevent) {
        return icalcomponent_get_first_property(vevent, ICAL_RECURRENCEID_PROPERTY) != nullptr;
    };
    const auto masterAt = std::find_if_not(vevents.begin(), vevents.end(), isOverride);
    icalcomponent* master = masterAt == vevents.end() ? nullptr : *masterAt;
    // One item is one event: VEVENTs of another UID do not belong to it.
    const auto uid = uidOf(master ? master : vevents.front());

    if (master != nullptr) {
        if (lostTiming(master)) {
            return false;
        }
        item.master.emplace();
        readFields(*item.master, master, master, item, user);
        if (!readTimes(*item.master, master, item, Zone{}, user) ||
            !readRecurrence(item, master, user)) {
            return false;
        }
    }
    for (icalcomponent* vevent : vevents) {
        if (vevent == master || !isOverride(vevent) || uidOf(vevent) != uid) {
            continue;
        }
        if (lostTiming(vevent)) {
            return false;
        }
        ReadEvent override;
        if (!readOverride(override, vevent, item, user)) {
            return false;
        }
        readFields(override, vevent, master, item, user);
        if (item.master) {
            override.event.recurrenceRules = item.master->event.recurrenceRules;
        }
        item.overrides.push_back(std::move(override));
    }
    return item.master || !item.overrides.empty();
}

/// The text without END lines that close no component. libical would pass over them anyway,
/// but only after printing a warning of its own on standard error.
std::string withoutStrayEnds(std::string text) {
    const auto startsWith = [](std::string_view line, std::string_view word) {
        return line.size() >= word.size() &&
               std::equal(word.begin(), word.end(), line.begin(), [](char a, char b) {
                   return std::toupper(static_cast<unsigned char>(a)) == b;
               });
    };
    std::string kept;
    bool dropped = false;
    int depth = 0;
    std::size_t begin = 0;
    while (begin < text.size()) {
        const std::size_t end = std::min(text.find('\n', begin), text.size() - 1);
        const std::string_view line{text.data() + begin, end - begin + 1};
        begin = end + 1;
        if (startsWith(line, "BEGIN:")) {
            ++depth;
        } else if (startsWith(line, "END:") && depth-- == 0) {
            depth = 0;
            if (!dropped) {
                kept.assign(text.data(), static_cast<std::size_t>(line.data() - text.data()));
                dropped = true;
            }
            continue;
        }
        if (dropped) {
            kept += line;
        }
    }
    return dropped ? kept : text;
}

}  // namespace

// --- Times ---------------------------------------------------------------------------------

Instant Zone::toInstant(local_seconds wall, const TimeZone& user) const {
    switch (kind) {
        case Kind::utc:
            return instantOf(wall);
        case Kind::system:
            return fromLocal(precise(wall), *system);
        case Kind::file: {
            icaltimetype value = icalTime(wall, false);
            value.zone = file;
            return Instant{seconds{icaltime_as_timet_with_zone(value, file)}};
        }
        case Kind::floating:
            break;
    }
    return fromLocal(precise(wall), user);
}

local_seconds Zone::toWall(Instant instant, const TimeZone& user) const {
    switch (kind) {
        case Kind::utc:
            return local_seconds{date::floor<seconds>(instant).time_since_epoch()};
        case Kind::system:
            return date::floor<seconds>(localTime(instant, *system));
        case Kind::file: {
            const auto time =
                static_cast<time_t>(date::floor<seconds>(instant).time_since_epoch().count());
            const auto wall = wallOf(icaltime_from_timet_with_zone(time, 0, file));
            return wall ? *wall : local_seconds{date::floor<seconds>(instant).time_since_epoch()};
        }
        case Kind::floating:
            break;
    }
    return date::floor<seconds>(localTime(instant, user));
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

Instant dayStart(local_days day, const TimeZone& zone) {
    return fromLocal(date::local_time<microseconds>{day}, zone);
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

Instant endOf(const ReadEvent& shape, local_seconds wall, Instant start, const TimeZone& user) {
    if (shape.event.allDay) {
        return dayStart(date::floor<date::days>(wall) + shape.nominal, user) - 1s;
    }
    if (shape.nominal == date::days{0}) {
        return start + shape.exact;
    }
    return shape.zone.toInstant(wall + shape.nominal, user) + shape.exact;
}

// --- Items ---------------------------------------------------------------------------------

Instant LoadedItem::keyOf(local_seconds wall, Instant start) const {
    return allDay() ? instantOf(local_seconds{date::floor<date::days>(wall)}) : start;
}

std::variant<LoadedItem, LoadFailure> loadItem(int folder, const std::string& path, ItemName name,
                                               const TimeZone& user, Tree tree) {
    const Descriptor file{
        ::openat(folder, path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)};
    if (file.get() < 0) {
        return errno == ENOENT || errno == ENOTDIR ? LoadFailure::missing : LoadFailure::unreadable;
    }
    struct stat info {};
    if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<std::size_t>(info.st_size) > maxItemBytes) {
        return LoadFailure::unreadable;
    }
    auto text = readAll(file.get(), maxItemBytes);
    if (!text) {
        return LoadFailure::unreadable;
    }
    *text = repairUtf8(std::move(*text));
    if (tree == Tree::drop) {
        *text = withoutKnownZones(std::move(*text));
    }

    *text = withoutStrayEnds(std::move(*text));

    LoadedItem item;
    item.name = std::move(name);
    item.stamp = stampOf(info);
    item.root.reset(icalparser_parse_string(text->c_str()));
    if (!item.root || icalcomponent_isa(item.root.get()) != ICAL_VCALENDAR_COMPONENT) {
        return LoadFailure::unreadable;
    }
    item.parseErrors = countErrors(item.root.get());
    if (!prepare(item, user)) {
        return LoadFailure::unreadable;
    }
    if (tree == Tree::drop) {
        item.root.reset();
    }
    return item;
}

bool overlaps(Instant start, Instant end, Instant windowStart, Instant windowEnd) {
    if (start == end) {
        return start >= windowStart && start < windowEnd;
    }
    return start < windowEnd && end > windowStart;
}

std::string skipLine(const ItemName& name) {
    return "ravu-calendar: skipping unreadable event file: " + name.relativePath();
}

}  // namespace ravu::vdir

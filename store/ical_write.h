// Writing events into iCalendar components (libical): the fields the store models, the
// bookkeeping properties peers rely on, and the pieces a change of one occurrence needs.
//
// Everything here changes only the properties it is asked to; whatever else a component holds
// (descriptions, alarms, attendees, X- properties, other overrides) stays as it was.
#pragma once

#include <libical/ical.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <date/date.h>

#include "convert/time.h"
#include "store/store.h"

namespace ravu::ical {

struct ComponentFree {
    void operator()(icalcomponent* component) const { icalcomponent_free(component); }
};
using Component = std::unique_ptr<icalcomponent, ComponentFree>;

struct PropertyFree {
    void operator()(icalproperty* property) const { icalproperty_free(property); }
};
using Property = std::unique_ptr<icalproperty, PropertyFree>;

/// The component as iCalendar text: CRLF line ends, lines folded at 75 octets, text escaped.
std::string serialize(const icalcomponent* component);

/// A VCALENDAR with VERSION and PRODID and nothing in it yet.
Component newCalendar();

/// A random (version 4) UUID in lower case, the UID of a new event.
std::string newUid();

/// Text as a file may hold it: valid UTF-8 (bad bytes and NUL become U+FFFD), line breaks as LF,
/// and no other control character but TAB. libical would write control characters raw and drop
/// CR.
std::string cleanText(std::string_view text);

/// The day an instant names for an all-day event. An instant exactly on a UTC midnight names
/// that UTC day (hosts that keep all-day items as dates send them so); any other instant names
/// its day in the user's zone.
date::sys_days dayOf(Instant instant, const TimeZone& zone);

/// The dates of an all-day event: its first day, and the exclusive end written as DTEND.
struct AllDayDates {
    date::sys_days first;
    date::sys_days end;
    friend bool operator==(const AllDayDates&, const AllDayDates&) = default;
};

/// The end is exclusive at a midnight: exactly on a UTC midnight its last day is the UTC day
/// before it, otherwise the day of one second before it. The event never ends before its first
/// day, so an end equal to the start, or one that is the reported end of a one-day event, keeps
/// the event one day long.
AllDayDates allDayDates(Instant start, std::optional<Instant> end, const TimeZone& zone);

/// How a series writes its instants, taken from its DTSTART: RECURRENCE-ID and EXDATE values
/// must be written the same way to name its occurrences.
struct TimeForm {
    enum class Kind { date, utc, zoned, floating };
    Kind kind = Kind::utc;
    std::string tzid;                  ///< zoned: the TZID parameter as written
    const TimeZone* system = nullptr;  ///< zoned: the zone database's zone of that name
    icaltimezone* fileZone = nullptr;  ///< zoned, not a system zone: the file's VTIMEZONE
};

/// The form of a DATE or DATE-TIME property; `calendar` is the VCALENDAR that holds it.
TimeForm formOf(const icalproperty* property, icalcomponent* calendar);

/// A DTSTART, DTEND, RECURRENCE-ID or EXDATE property holding the instant in the given form. The
/// TZID parameter is set by hand: libical would write zoned times floating, or with a prefix.
Property timeProperty(icalproperty_kind kind, Instant instant, const TimeForm& form,
                      const TimeZone& zone);

/// Why the event cannot be written as it is, or none: a missing start, an end before the start,
/// a date beyond what the file format holds, a URL with control characters, a rule out of range.
WriteError checkWritable(const Event& event);

/// The fields of an event that a save writes. A field that is not written keeps its properties
/// byte for byte, so a save never rewrites what it did not change.
struct Fields {
    bool title = false;
    bool location = false;
    bool url = false;
    bool times = false;  ///< start, end and the all-day flag
    bool rules = false;

    static Fields all() { return {true, true, true, true, true}; }
    bool any() const { return title || location || url || times || rules; }
};

/// Writes the chosen fields of a checked event onto a VEVENT that lies in `calendar`. Timed
/// events are written in UTC unless the event keeps the TZID its DTSTART has already. Returns
/// whether the component changed: a value equal to the one it holds is not written again.
bool writeFields(icalcomponent* event, icalcomponent* calendar, const Event& values, Fields which,
                 const TimeZone& zone);

/// Marks a component as changed by this save: DTSTAMP and LAST-MODIFIED become `now`, SEQUENCE
/// goes up by one.
void touch(icalcomponent* event, Instant now);

/// Stamps a component this run creates: DTSTAMP, CREATED and LAST-MODIFIED `now`, SEQUENCE 0.
void stampNew(icalcomponent* event, Instant now);

/// Where an occurrence of a series lies: its day in a series of all-day events, else its instant.
using OccurrenceKey = std::variant<date::sys_days, date::sys_seconds>;

/// The occurrence a RECURRENCE-ID or EXDATE value names; none for a value it cannot read.
std::optional<OccurrenceKey> keyOf(icalproperty* property, icalcomponent* calendar,
                                   const TimeZone& zone);

/// The occurrence of a series with the given form that starts at `occurrence`.
OccurrenceKey keyOf(Instant occurrence, const TimeForm& series, const TimeZone& zone);

/// The override of the series `uid` for the occurrence, or none.
icalcomponent* findOverride(icalcomponent* calendar, std::string_view uid, const OccurrenceKey& key,
                            const TimeZone& zone);

/// A new override for one occurrence of the series: a copy of the master (alarms, attendees and
/// all) without its repetition, named by a RECURRENCE-ID in the form of the master's DTSTART.
Component makeOverride(icalcomponent* master, icalcomponent* calendar, Instant occurrence,
                       const TimeZone& zone);

/// Leaves the occurrence out of the series: an EXDATE in the form of the master's DTSTART (which
/// marks the master changed at `now`), and its override (if any) goes. Returns whether the file
/// changed: nothing changes when the occurrence is left out already.
bool excludeOccurrence(icalcomponent* calendar, icalcomponent* master, Instant occurrence,
                       const TimeZone& zone, Instant now);

/// After a series' rule or first start changed: drops the overrides and EXDATEs that no longer
/// name one of its occurrences. Returns whether the master changed.
bool dropStrayExceptions(icalcomponent* calendar, icalcomponent* master, const TimeZone& zone);

/// Ends the series before the occurrence: every rule gets an UNTIL just before it (a COUNT
/// gives way), and RDATEs, EXDATEs and overrides from it on go.
void endSeriesBefore(icalcomponent* calendar, icalcomponent* master, Instant occurrence,
                     const TimeZone& zone);

/// Whether the master repeats at all (RRULE or RDATE).
bool repeats(icalcomponent* master);

}  // namespace ravu::ical

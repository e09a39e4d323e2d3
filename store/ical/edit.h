// Inside the format layer: the edits a save or a removal makes to an item's tree. Each takes the
// fields or the occurrence it changes and leaves everything else in the tree as it was.
#pragma once

#include <functional>
#include <initializer_list>

#include "store/ical/item.h"
#include "store/ical/model.h"

namespace ravu::ical {

/// The edits below may build a component again (see `removeWhere`): the pointer they take by
/// reference then names the new one.

// --- Tree helpers (edit.cpp) -----------------------------------------------------------------

/// Removes the properties `drop` chooses; whether there were any. libical looks through the
/// whole component for each property it removes, so past a handful the component is built again
/// without them: it then stands last in the calendar, and `component` names the new one. A
/// series may have tens of thousands of RDATEs or EXDATEs.
bool removeWhere(icalcomponent*& component, const std::function<bool(icalproperty*)>& drop);

bool isKind(icalproperty* property, std::initializer_list<icalproperty_kind> kinds);

/// Gives the component exactly `fresh` for the property's kind, unless it holds one property of
/// that kind with the same value already, which then stays as it is (parameters included).
bool setProperty(icalcomponent* component, Property fresh);

// --- Times (edit_times.cpp) ------------------------------------------------------------------

/// A DATE value for the day.
icaltimetype dayValue(date::sys_days day);

/// The form of the component's DTSTART.
Form startForm(icalcomponent* event, Model& model);

/// A DTSTART, DTEND, RECURRENCE-ID or EXDATE property holding the instant in the given form. The
/// TZID parameter is set by hand: libical would write zoned times floating, or with a prefix.
Property timeProperty(icalproperty_kind kind, Instant instant, const Form& form,
                      const TimeZone& user);

/// The form the UNTIL of a series starting in `start` must take: RFC 5545 asks for a DATE with a
/// DATE start, a floating time with a floating start, and UTC otherwise.
Form untilForm(const Form& start);

/// Writes the event's start, end and all-day flag; whether the component changed. `repeating`:
/// the component is a series, written in its zone.
bool writeTimes(icalcomponent*& event, Model& model, const Event& values, bool repeating);

// --- Fields (edit_fields.cpp) ----------------------------------------------------------------

/// Why the event cannot be written as it is, or none (see `Item::save`).
WriteError checkWritable(const Event& event);

/// A VCALENDAR with VERSION and PRODID and nothing in it yet.
Component newCalendar();

/// Writes the `which` fields of a checked event onto a VEVENT of the model's tree. Timed events
/// are written in UTC unless the event keeps the TZID its DTSTART has already; a series in the
/// user's zone. Returns whether the component changed: a value equal to the one it holds is not
/// written again.
bool writeFields(icalcomponent*& event, Model& model, const Event& values, Changes which);

/// Marks a component as changed by this save: DTSTAMP and LAST-MODIFIED become `now`, SEQUENCE
/// goes up by one.
void touch(icalcomponent* event, Instant now);

/// Stamps a component this run creates: DTSTAMP, CREATED and LAST-MODIFIED `now`, SEQUENCE 0.
void stampNew(icalcomponent* event, Instant now);

// --- One occurrence (edit.cpp) ---------------------------------------------------------------

/// The override of the series for the occurrence with this key, or none.
icalcomponent* findOverride(Model& model, icalcomponent* master, Instant key);

/// A new override for one occurrence of the series: a copy of the master (alarms, attendees and
/// all) without its repetition, named by a RECURRENCE-ID in the form of the master's DTSTART.
Component makeOverride(icalcomponent* master, Model& model, Instant occurrence);

/// Leaves the occurrence out of the series: an EXDATE in the form of the master's DTSTART (which
/// marks the master changed at `now`), and its override (if any) goes. Returns whether the tree
/// changed: nothing changes when the occurrence is left out already.
bool excludeOccurrence(icalcomponent* master, Model& model, Instant occurrence, Instant now);

/// After a series' rule or first start changed: drops the overrides and EXDATEs that no longer
/// name one of its occurrences (all of them once it no longer repeats). Reads the model again.
void dropStrayExceptions(icalcomponent*& master, Model& model);

/// Ends the series before the occurrence: every rule gets an UNTIL just before it (a COUNT
/// gives way), and RDATEs, EXDATEs and overrides from it on go.
void endSeriesBefore(icalcomponent*& master, Model& model, Instant occurrence);

/// Whether the master repeats at all (RRULE or RDATE).
bool repeats(icalcomponent* master);

}  // namespace ravu::ical

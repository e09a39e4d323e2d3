// The days of all-day events: which calendar days an instant from the host names.
#pragma once

#include <optional>

#include <date/date.h>

#include "convert/instant.h"

namespace ravu {

/// The day an instant names for an all-day event. An instant exactly on a UTC midnight names
/// that UTC day (hosts that keep all-day items as dates send them so); any other instant names
/// its day in the user's zone.
date::sys_days dayOf(Instant instant, const TimeZone& zone);

/// The dates of an all-day event: its first day, and the exclusive end a file writes as DTEND.
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

}  // namespace ravu

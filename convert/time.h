// Instants and days as text, and calendar arithmetic in the user's time zone.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <date/tz.h>

#include "convert/instant.h"

namespace ravu {

/// ISO-8601 internet date-time in UTC with whole seconds: 2024-05-01T12:00:00Z.
std::string iso(Instant instant);

/// Reads the internet date-time form, with or without a fraction of a second, with "Z" or a
/// numeric offset such as +02:00. Nothing else: no date alone, no time without a designator.
std::optional<Instant> parseISO(std::string_view text);

/// The "yyyy-MM-dd" day of the instant in the given zone.
std::string dayString(Instant instant, const TimeZone& zone);

/// The UTC day of an instant that lies exactly on a UTC midnight; none for any other instant.
std::optional<std::string> utcDayKey(Instant instant);

/// The zone called "UTC".
const TimeZone& utcZone();

/// Whether the text has the form of a zone database name ("Europe/Berlin", "EST", "Etc/GMT+5"):
/// only such a name is ever looked up, since the database turns names into paths.
bool isZoneName(std::string_view name);

/// A zone by its IANA name, or none. Names are checked with `isZoneName` first.
const TimeZone* findZone(std::string_view name);

/// Moves the instant by whole calendar days keeping its wall-clock time in the zone. A wall
/// time that falls into a daylight-saving gap moves forward by the gap; one that occurs twice
/// takes the earlier instant.
Instant addDays(Instant instant, int days, const TimeZone& zone);

/// The instant a calendar day begins in the zone; the first instant of the day when midnight
/// itself is skipped by a daylight-saving change. None for a date that does not exist.
std::optional<Instant> startOfDay(int year, unsigned month, unsigned day, const TimeZone& zone);

/// Whether both instants fall on the same calendar day in the zone.
bool sameDay(Instant a, Instant b, const TimeZone& zone);

/// The wall-clock time of an instant in the zone.
date::local_time<std::chrono::microseconds> localTime(Instant instant, const TimeZone& zone);

/// The instant of a wall-clock time in the zone, with the gap and overlap choices of `addDays`.
Instant fromLocal(date::local_time<std::chrono::microseconds> local, const TimeZone& zone);

}  // namespace ravu

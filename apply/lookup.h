// Finding the events that stand in the store already: by a host item's marker, and the one
// occurrence of a series the host names by its start or by its day.
//
// Each look-up runs one query over all calendars (read-only ones too) and walks the results in
// the store's order; "first" and every tie below mean first in that order. Days and windows
// are counted on the user's calendar, in `context.zone`.
#pragma once

#include <optional>
#include <string_view>

#include "command/context.h"

namespace ravu {

/// The first event or occurrence whose URL is the marker of `itemId`, in the window from one
/// day before `near` to one day after it. None for an id that makes no marker.
std::optional<Event> findByMarker(const Context& context, std::string_view itemId, Instant near);

/// The occurrence of the series `uid` whose start lies nearest to `near`, within a day on
/// either side; returned only when it starts less than 120 seconds from `near`, or, when it
/// is all-day, on the same day as `near`.
std::optional<Event> findOccurrence(const Context& context, std::string_view uid, Instant near);

/// The first all-day occurrence of the series `uid` on `day` ("yyyy-MM-dd", compared as text
/// with the occurrence's day in its own zone or the user's).
std::optional<Event> findAllDayOccurrence(const Context& context, std::string_view uid,
                                          std::string_view day);

}  // namespace ravu

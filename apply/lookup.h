// Finding the events that stand in the store already: by a host item's marker, and the one
// occurrence of a series the host names by its start or by its day.
//
// Each look-up answers as one query over all calendars (read-only ones too) would, walking its
// results in the store's order; "first" and every tie below mean first in that order. Days and
// windows are counted on the user's calendar, in `context.zone`.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "command/context.h"

namespace ravu {

/// The events of the host's own items around a queue's creates, by marker URL.
///
/// One query per create would read the whole store once per entry. The index reads the windows
/// of all the queue's look-ups at once instead: they are gathered into stretches of at most a
/// month (so that a queue spread over years never holds years of the store), each read by one
/// query of which only the events carrying a marker still to be looked up are kept. The run's
/// own writes are read back item by item (`update`), so the index answers as a fresh query would.
class MarkerIndex {
  public:
    /// `lookUps`: the item id and start of every create the queue may look up, once each.
    MarkerIndex(const Context& context,
                const std::vector<std::pair<std::string, Instant>>& lookUps);

    /// The first event or occurrence whose URL is the marker of `itemId`, in the window from one
    /// day before `near` to one day after it. None for an id that makes no marker.
    std::optional<Event> find(std::string_view itemId, Instant near);

    /// After the run wrote the item `identifier`: its events as the store now holds them.
    void update(const std::string& identifier);

  private:
    struct Marker {
        std::size_t lookUps = 0;    ///< still to come; the marker is let go after the last
        std::vector<Event> events;  ///< carrying it and overlapping the stretch, in store order
    };
    struct Stretch {
        Instant start;
        Instant end;
        std::unordered_map<std::string, Marker> markers;
    };
    /// A stretch and a marker under which events of an item are kept.
    using Place = std::pair<std::size_t, std::string>;

    /// Keeps the event in the stretch when it carries a marker looked up there; gives the list
    /// it went to, at its end.
    std::vector<Event>* keep(std::size_t stretch, Event event);

    const Context* context_;
    std::vector<Stretch> stretches_;
    std::unordered_map<std::string, std::vector<Place>> placesOf_;  ///< by item identifier
};

/// The occurrence of the series `uid` whose start lies nearest to `near`, within a day on
/// either side; returned only when it starts less than 120 seconds from `near`, or, when it
/// is all-day, on the same day as `near`.
std::optional<Event> findOccurrence(const Context& context, std::string_view uid, Instant near);

/// The first all-day occurrence of the series `uid` on `day` ("yyyy-MM-dd", compared as text
/// with the occurrence's day in its own zone or the user's).
std::optional<Event> findAllDayOccurrence(const Context& context, std::string_view uid,
                                          std::string_view day);

}  // namespace ravu

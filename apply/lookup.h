// Finding the events that stand in the store already: by a host item's marker, and the one
// occurrence of a series the host names by its start or by its day.
//
// Each look-up answers as one query over the calendars it may look in (read-only ones too) would,
// walking its results in the store's order; "first" and every tie below mean first in that order.
// Days and windows are counted on the user's calendar, in `context.zone`. A look-up that cannot
// read what it needs says so: it never gives "not there" for "could not be read".
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "document/context.h"

namespace ravu {

/// The events of the host's own items around a queue's creates, by marker URL.
///
/// One query per create would read the calendar once per entry. The index reads the windows of
/// all the queue's look-ups in one calendar at once instead: they are gathered into stretches of
/// at most a month (so that a queue spread over years never holds years of the calendar), each
/// read by one query, when the first create into that calendar looks, of which only the events
/// carrying a marker still to be looked up are kept. The run's own writes are read back item by
/// item (`update`), so the index answers as a fresh query would. A create looks only in the
/// calendar it names: a run reads no calendar it was not asked about.
class MarkerIndex {
  public:
    /// A create the queue may look up: its item, its start, and the key of its calendar.
    struct LookUp {
        std::string itemId;
        Instant near;
        std::string logicalKey;
    };

    /// `lookUps`: every create of the queue that may look, once each.
    MarkerIndex(const Context& context, const std::vector<LookUp>& lookUps);

    /// The first event or occurrence of the calendar `calendarId` (the one kept for
    /// `logicalKey`) whose URL is the marker of `itemId`, in the window from one day before
    /// `near` to one day after it. `gone` when there is none, or the id makes no marker; another
    /// error when the calendar could not be read.
    Result<Event> find(std::string_view itemId, Instant near, std::string_view logicalKey,
                       const std::string& calendarId);

    /// After the run wrote the item `identifier`: its events as the store now holds them.
    void update(const std::string& identifier);

  private:
    struct Marker {
        std::size_t lookUps = 0;    ///< still to come; the marker is let go after the last
        std::vector<Event> events;  ///< carrying it and overlapping the stretch, in store order
    };
    struct Stretch {
        std::string logicalKey;
        Instant start;
        Instant end;
        std::unordered_map<std::string, Marker> markers;
        std::string calendarId;  ///< once read: the calendar it was read from
        bool read = false;
        std::optional<StoreError> failure =
            std::nullopt;  ///< why it could not be read, or read back
    };
    /// A stretch and a marker under which events of an item are kept.
    using Place = std::pair<std::size_t, std::string>;

    /// Reads the stretch from its calendar unless it has been read.
    void read(std::size_t stretch, const std::string& calendarId);
    /// Keeps the event in the stretch when it carries a marker looked up there; gives the list
    /// it went to, at its end.
    std::vector<Event>* keep(std::size_t stretch, Event event);

    const Context* context_;
    std::vector<Stretch> stretches_;
    std::unordered_map<std::string, std::vector<Place>> placesOf_;  ///< by item identifier
};

/// The occurrence of the series `uid` whose start lies nearest to `near`, within a day on
/// either side; given only when it starts less than 120 seconds from `near`, or, when it
/// is all-day, on the same day as `near`. `gone` when there is none; another error when the
/// series could not be read.
Result<Event> findOccurrence(const Context& context, std::string_view uid, Instant near);

/// The first all-day occurrence of the series `uid` on `day` ("yyyy-MM-dd", compared as text
/// with the occurrence's day in its own zone or the user's); errors as `findOccurrence`.
Result<Event> findAllDayOccurrence(const Context& context, std::string_view uid,
                                   std::string_view day);

}  // namespace ravu

// An in-memory store: a test double, not a second implementation. The test decides the
// calendars, the rows each query returns, the authorization status, and which writes fail. A
// series saved through it is laid out as rows, one per occurrence, for simple rules only (daily
// or weekly, with an interval, ended by a count or an instant).
#pragma once

#include <map>
#include <string>
#include <vector>

#include "store/store.h"

namespace ravu::testing {

class MemoryStore final : public Store {
  public:
    AuthorizationStatus status = AuthorizationStatus::fullAccess;
    std::vector<Calendar> calendarList;
    /// What queries return: every row that overlaps the window (and is in one of the asked
    /// calendars), in this order. Occurrences of a series are rows of their own. Rows a test adds
    /// stay where it puts them; rows a save makes go in by start, then identifier, as the real
    /// stores order them.
    std::vector<Event> rows;
    /// What `calendarItemWithIdentifier` returns, by identifier.
    std::map<std::string, Event> items;
    /// A message with which every read of events fails, as a calendar that cannot be read.
    std::optional<std::string> failReadsWith;

    /// Adds a calendar, a single event (as row and item) and returns its identifier.
    const Calendar& addCalendar(Calendar calendar);
    const Event& addEvent(Event event);

    AuthorizationStatus authorizationStatus() const override { return status; }
    bool requestFullAccess() override { return status == AuthorizationStatus::fullAccess; }
    Result<std::vector<Calendar>> calendars(Listing) const override { return calendarList; }
    [[nodiscard]] WriteError calendarTakesChanges(std::string_view calendarId) const override;
    Result<std::vector<Event>> eventsMatching(const EventPredicate& predicate) const override;
    Result<std::vector<Event>> itemEventsMatching(std::string_view identifier, Instant start,
                                                  Instant end) const override;
    Result<Event> calendarItemWithIdentifier(std::string_view identifier) const override;
    [[nodiscard]] WriteError beginChanges() override { return std::nullopt; }
    [[nodiscard]] WriteError saveEvent(Event& event, Span span, Changes changes) override;
    [[nodiscard]] WriteError removeEvent(const Event& event, Span span) override;

  private:
    /// Why the event cannot be written: a calendar that takes no changes (or, for a new event,
    /// is not listed), or numbers a file could not hold.
    WriteError refused(const Event& event, bool isNew) const;
    void insert(Event row);
    void layOut(const Event& series);

    int nextIdentifier_ = 1;
};

}  // namespace ravu::testing

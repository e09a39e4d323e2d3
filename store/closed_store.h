// The store of a run that may not reach any calendar: every word answers as it does without
// access, and nothing is ever written.
#pragma once

#include "store/store.h"

namespace ravu {

class ClosedStore final : public Store {
  public:
    AuthorizationStatus authorizationStatus() const override { return AuthorizationStatus::denied; }
    bool requestFullAccess() override { return false; }
    Result<std::vector<Calendar>> calendars(Listing) const override { return refused(); }
    [[nodiscard]] WriteError calendarTakesChanges(std::string_view) const override {
        return refused();
    }
    Result<std::vector<Event>> eventsMatching(const EventPredicate&) const override {
        return refused();
    }
    Result<std::vector<Event>> itemEventsMatching(std::string_view, Instant,
                                                  Instant) const override {
        return refused();
    }
    Result<Event> calendarItemWithIdentifier(std::string_view) const override { return refused(); }
    [[nodiscard]] WriteError beginChanges() override { return refused(); }
    [[nodiscard]] WriteError saveEvent(Event&, Span, Changes) override { return refused(); }
    [[nodiscard]] WriteError removeEvent(const Event&, Span) override { return refused(); }

  private:
    static StoreError refused() {
        return StoreError{"no calendar store can be reached", ErrorKind::refused};
    }
};

}  // namespace ravu

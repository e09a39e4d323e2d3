// The directory store: calendars as folders of iCalendar files, in the vdir layout that khal
// and vdirsyncer use.
//
//   <root>/<source>/                 one source (account): optional `displayname`, `type`
//   <root>/<source>/<calendar>/      one calendar: optional `displayname`, `color`, `readonly`
//   <root>/<source>/<calendar>/*.ics one event (or one series with its overrides) per file
//
// Names beginning with "." are ignored everywhere.
#pragma once

#include <filesystem>

#include "store/store.h"

namespace ravu {

class VdirStore final : public Store {
  public:
    explicit VdirStore(std::filesystem::path root);

    AuthorizationStatus authorizationStatus() const override;
    /// Creates a missing root holding one source `local` with one writable calendar titled
    /// "Calendar". Changes nothing when the root is there already.
    bool requestFullAccess() override;

    std::vector<Calendar> calendars() const override;
    std::vector<Event> eventsMatching(const EventPredicate& predicate) const override;
    std::optional<Event> calendarItemWithIdentifier(std::string_view identifier) const override;

    Event newEvent() override;
    [[nodiscard]] WriteError saveEvent(Event& event, Span span) override;
    [[nodiscard]] WriteError removeEvent(const Event& event, Span span) override;
    std::optional<Instant> lastModifiedBeforeThisRun(const Event& occurrence) const override;

    const std::filesystem::path& root() const { return root_; }

  private:
    std::filesystem::path root_;
};

}  // namespace ravu

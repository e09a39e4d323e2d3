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
#include <functional>
#include <memory>
#include <ostream>
#include <variant>

#include "store/clock.h"
#include "store/store.h"

namespace ravu {

namespace vdir {
struct CalendarName;
struct FileStamp;
struct ItemName;
struct StoredItem;
struct ReadCache;
struct WriteState;
}  // namespace vdir

class VdirStore final : public Store {
  public:
    /// `diagnostics` receives one line per item file that cannot be read; `zone` is the user's
    /// zone, in which floating times and all-day dates are taken; `clock` stamps what a run writes.
    VdirStore(std::filesystem::path root, std::ostream& diagnostics, const TimeZone& zone,
              const Clock& clock);
    ~VdirStore() override;
    VdirStore(const VdirStore&) = delete;
    VdirStore& operator=(const VdirStore&) = delete;

    // The root (vdir_store.cpp).
    AuthorizationStatus authorizationStatus() const override;
    /// Creates a missing root holding one source `local` with one writable calendar titled
    /// "Calendar". Changes nothing when the root is there already.
    bool requestFullAccess() override;

    // Reading (read.cpp).
    Result<std::vector<Calendar>> calendars(Listing listing) const override;
    Result<std::vector<Event>> eventsMatching(const EventPredicate& predicate) const override;
    Result<std::vector<Event>> itemEventsMatching(std::string_view identifier, Instant start,
                                                  Instant end) const override;
    Result<Event> calendarItemWithIdentifier(std::string_view identifier) const override;

    // Writing (write.cpp).
    [[nodiscard]] WriteError calendarTakesChanges(std::string_view calendarId) const override;
    [[nodiscard]] WriteError beginChanges() override;
    [[nodiscard]] WriteError saveEvent(Event& event, Span span, Changes changes) override;
    [[nodiscard]] WriteError removeEvent(const Event& event, Span span) override;

    const std::filesystem::path& root() const { return root_; }

  private:
    /// The item as this run first read it; null when it is missing or cannot be read (told
    /// once per run).
    const vdir::StoredItem* storedItem(const vdir::ItemName& name) const;
    /// The item as `storedItem` gives it; `gone` when there is no file, another error when the
    /// file cannot be read.
    Result<const vdir::StoredItem*> lookedUp(std::string_view identifier) const;
    /// Adds the item's events and occurrences in [start, end) to a query's `found`, within the
    /// query's budget.
    void addEvents(const vdir::StoredItem& stored, Instant start, Instant end,
                   std::vector<Event>& found) const;
    /// The readable items of a calendar folder, listed once per run (see `ReadCache`); an error
    /// when the folder cannot be listed.
    Result<const std::vector<const vdir::StoredItem*>*> listing(
        const vdir::CalendarName& folder) const;
    /// Each readable item of a calendar folder, kept for the rest of the run once it holds the
    /// write lock; an error when the folder cannot be listed.
    WriteError forEachItem(const vdir::CalendarName& folder,
                           const std::function<void(const vdir::StoredItem&)>& visit) const;
    bool holdsLock() const;

    // Writing (write.cpp).
    vdir::WriteState& writeState();
    /// None when the calendar exists and takes changes.
    WriteError writableCalendar(const vdir::CalendarName& name) const;
    /// The item read again, whole, under the run's write lock (taken here), only when it is still
    /// the version this run read.
    std::variant<vdir::StoredItem, StoreError> reread(const vdir::ItemName& name);
    /// Writes the changed item back over its file and lets the run's reads see it.
    WriteError putBack(vdir::StoredItem& stored);
    /// Takes an item this run wrote, now the file `stamp`, into the run's reads.
    void keepWritten(vdir::StoredItem stored, vdir::FileStamp stamp);
    WriteError createEvent(Event& event);
    WriteError updateEvent(Event& event, Span span, Changes changes);
    WriteError deleteEvent(const Event& event, Span span);

    std::filesystem::path root_;
    std::ostream* diagnostics_;
    const TimeZone* zone_;
    const Clock* clock_;
    std::unique_ptr<vdir::ReadCache> cache_;    ///< mutable state of a const query: one run's reads
    std::unique_ptr<vdir::WriteState> writes_;  ///< made at the first write of the run
};

}  // namespace ravu

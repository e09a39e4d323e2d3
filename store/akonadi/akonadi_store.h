// The KDE store: the user's calendars in Akonadi, where KOrganizer, Merkuro, Kontact and the
// Plasma clock keep local, CalDAV, Google and Exchange calendars.
//
// Akonadi hands out each event as iCalendar text, and keeps a series and each changed
// occurrence of it as items of their own: the store gathers them by UID into the format layer,
// which reads, expands and edits them, and writes each changed part back as an item. A resource
// tells a refusal only later, so a run's writes wait together, under the run's time, until their
// resources took them.
//
// Inside the module: bus.cpp asks the session bus about Akonadi; session.cpp runs jobs;
// catalogue.cpp lists the collections; read.cpp reads items and queries; write.cpp writes, and
// settle.cpp waits for the resources to take the writes and undoes the refused ones.
#pragma once

#include <Akonadi/Item>

#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "store/akonadi/session.h"
#include "store/deadline.h"
#include "store/ical/item.h"
#include "store/lock.h"
#include "store/module.h"

namespace ravu::akonadi {

/// How a resource shows that a write reached its calendar.
enum class Kind {
    file,    ///< an iCal file or folder: once the resource wrote the item
    remote,  ///< a server: once the item's remote revision changed
    other,   ///< anything else: once Akonadi took it
};

/// An event collection as the run found it.
struct Collection {
    Calendar calendar;
    std::string resource;  ///< the resource's agent instance
    Kind kind = Kind::other;
    bool calDav = false;  ///< a CalDAV resource, which keeps no changed occurrence on its server
};

/// A calendar item as Akonadi holds it: the series or single event and its changed occurrences,
/// one Akonadi item each, with the text each holds.
struct Stored {
    std::string identifier;
    Akonadi::Item::List parts;
    std::vector<std::string> texts;
    std::optional<ical::Item> item;
    /// Every part's id and revision: any change of any part by anyone changes it.
    std::string version() const;
};

/// A write handed to Akonadi that its resource has yet to take.
struct Pending {
    std::string identifier;  ///< the calendar item it belongs to
    std::string resource;    ///< the resource's agent instance
    Kind kind = Kind::other;
    Akonadi::Item item;  ///< as the write left it
    enum { created, changed, removed } what = changed;
    std::string written;  ///< the text written (created, changed)
    std::string was;      ///< the text read before the write (changed)
};

class AkonadiStore final : public Store {
  public:
    explicit AkonadiStore(const ModuleSettings& settings);
    ~AkonadiStore() override;

    // The server (catalogue.cpp).
    AuthorizationStatus authorizationStatus() const override;
    bool requestFullAccess() override;

    // The collections (catalogue.cpp).
    Result<std::vector<Calendar>> calendars(Listing listing) const override;
    [[nodiscard]] WriteError calendarTakesChanges(std::string_view calendarId) const override;

    // Reading (read.cpp).
    Result<std::vector<Event>> eventsMatching(const EventPredicate& predicate) const override;
    Result<std::vector<Event>> itemEventsMatching(std::string_view identifier, Instant start,
                                                  Instant end) const override;
    Result<Event> calendarItemWithIdentifier(std::string_view identifier) const override;

    // Writing (write.cpp).
    [[nodiscard]] WriteError beginChanges() override;
    [[nodiscard]] WriteError saveEvent(Event& event, Span span, Changes changes) override;
    [[nodiscard]] WriteError removeEvent(const Event& event, Span span) override;

  private:
    using Items = std::map<std::string, Stored>;

    Clock::Monotonic callEnd() const { return deadline_->within(callLimit, clock_->monotonic()); }
    /// None once the server runs, started for the run's first call that needs data; why not.
    WriteError ready() const;
    Result<const std::map<std::string, Collection>*> collections() const;
    Result<const Collection*> collection(const std::string& id) const;
    /// The items of a collection gathered by UID, each read into the format layer.
    Result<Items> fetch(const std::string& collection, ical::Keep keep) const;
    /// Reads the texts of the item's parts into the format layer.
    void assemble(Stored& stored, const std::string& collection, ical::Keep keep) const;
    /// The collection's items as the locked run keeps them; read now before it holds its lock.
    Result<const Items*> listing(const std::string& collection) const;
    /// The item of `identifier` in the listing, or `gone`.
    Result<const Stored*> find(const std::string& identifier) const;
    void seen(const Stored& stored) const;

    Result<const Collection*> writable(const std::string& collection);
    /// The item read afresh for a write, unless another program changed it since the run saw it.
    Result<Stored> fresh(const std::string& identifier, const char* refused);
    WriteError create(Event& event);
    WriteError edit(const Event& event, Span span, std::optional<Changes> changes);
    /// Writes each part the format layer changed in the item: `before`, the parts by occurrence
    /// as the edit found them.
    WriteError writeBack(const Collection& collection, Stored& stored,
                         const std::map<std::string, std::string>& before);
    /// Removes the parts of an item; `only`: just this part.
    WriteError removeParts(const Collection& collection, const Stored& stored,
                           std::optional<std::size_t> only = std::nullopt);

    // Settling (settle.cpp).
    /// Waits until the resources took every pending write of the item (all when empty), under
    /// the run's time; a refused write is undone and gives the resource's message.
    WriteError settle(const std::string& identifier = {});
    /// Puts back what a refused write changed: removes what it created, writes back what it
    /// changed as it was read.
    void undo(const Pending& write);
    /// After a write that settled: the item, now of these parts, read again into the listing
    /// the run keeps of its collection.
    void relist(const std::string& identifier, const Akonadi::Item::List& parts);
    /// After a write that did not: the collection read again when next asked for.
    void forget(const std::string& identifier);

    static inline const Deadline never_{};
    std::ostream* diagnostics_;
    const TimeZone* zone_;
    const Deadline* deadline_;
    const Clock* clock_;
    Session session_;
    mutable std::optional<WriteError> ready_;
    mutable std::optional<Result<std::map<std::string, Collection>>> collections_;
    /// By collection, what the run read once it held its lock.
    mutable std::map<std::string, Items> listings_;
    /// The version of each item this run saw first once it began its changes.
    mutable std::map<std::string, std::string> seen_;
    mutable std::set<std::string> told_;
    std::vector<Pending> pending_;
    WriteLock lock_;
    WriteError lockFailure_;
};

/// The collection's id and the event's UID of an event identifier, or none.
std::optional<std::pair<std::string, std::string>> splitIdentifier(std::string_view identifier);

/// "local", "caldav", ... by the resource's agent type and the collection's remote id.
SourceType typeOf(const std::string& agentType, const std::string& remoteId);
Kind kindOf(const std::string& agentType);

}  // namespace ravu::akonadi

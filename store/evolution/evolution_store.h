// The GNOME store: the user's own calendars in evolution-data-server, the calendar service of
// the GNOME desktop, where every account the user set up shows up and where every calendar
// application of the desktop reads and writes.
//
// The service hands out parsed components. The format layer reads them, expands series with the
// program's own expander and makes every edit; this store hands each changed part back to the
// service in the service's own type. A calendar that did not answer once is not asked again in
// the run, so that one slow server or a stuck service costs a run one wait, not one per entry.
//
// Inside the module: service.cpp reaches the bus, the registry of sources and each calendar;
// catalogue.cpp lists the calendars; read.cpp reads items and queries; write.cpp writes and
// checks versions.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "store/deadline.h"
#include "store/evolution/glib.h"
#include "store/ical/item.h"
#include "store/lock.h"
#include "store/module.h"

namespace ravu::evolution {

/// An event's identifier: the calendar's source UID, "/", the event's UID. Source UIDs hold no
/// "/", event UIDs may.
std::optional<std::pair<std::string, std::string>> splitIdentifier(std::string_view identifier);

class EvolutionStore final : public Store {
  public:
    explicit EvolutionStore(const ModuleSettings& settings)
        : diagnostics_{settings.diagnostics},
          zone_{settings.zone},
          deadline_{settings.deadline != nullptr ? settings.deadline : &never_},
          clock_{settings.clock},
          lock_{settings.lockFolder, *settings.clock} {}

    // The service (service.cpp).
    AuthorizationStatus authorizationStatus() const override;
    bool requestFullAccess() override { return !registryAnswers(true); }

    // The calendars (catalogue.cpp).
    Result<std::vector<Calendar>> calendars(Listing listing) const override;
    [[nodiscard]] WriteError calendarTakesChanges(std::string_view calendarId) const override;

    // Reading (read.cpp).
    Result<std::vector<Event>> eventsMatching(const EventPredicate& predicate) const override;
    Result<std::vector<Event>> itemEventsMatching(std::string_view identifier, Instant start,
                                                  Instant end) const override;
    Result<Event> calendarItemWithIdentifier(std::string_view identifier) const override;

    // Writing and versions (write.cpp).
    [[nodiscard]] WriteError beginChanges() override;
    [[nodiscard]] WriteError saveEvent(Event& event, Span span, Changes changes) override;
    [[nodiscard]] WriteError removeEvent(const Event& event, Span span) override;

  private:
    /// A calendar as the run opened it; once it failed to answer, only why.
    struct Connection {
        Ref<ECalClient> client;
        std::optional<StoreError> failure;
    };
    /// The item as the service holds it now, with the version it was read at and the service's
    /// own components it was made of.
    struct Stored {
        ical::Item item;
        std::string version;
        Components held;
        std::vector<ECalComponent*> parts;
    };
    /// An item of a calendar's listing; its version only once the run holds its lock.
    struct Listed {
        std::string identifier;
        ical::Item item;
        std::string version;
    };

    /// The end of one call made now.
    Clock::Monotonic callEnd() const { return deadline_->within(callLimit, clock_->monotonic()); }
    /// The session bus, connected once per run.
    Result<GDBusConnection*> bus() const;
    /// None when the service's registry answers a call: one that may start it, or (`start`
    /// false) one made only when it runs already; when it does not run, whether the bus could
    /// start it.
    std::optional<StoreError> registryAnswers(bool start) const;
    /// A call to the bus itself or to the registry, with its reply.
    Result<Variant> ask(const char* name, const char* path, const char* interface,
                        const char* method, GVariant* arguments, const char* replyType,
                        bool autoStart) const;
    Result<ESourceRegistry*> registry() const;
    /// The enabled event calendar of that UID, or why there is none.
    Result<Ref<ESource>> calendarSource(const std::string& uid) const;
    /// Opens the calendars at once, each once per run; those that do not answer in time are
    /// left behind.
    void connectAll(const std::vector<std::string>& uids) const;
    /// The calendar opened, or why it is not.
    Result<ECalClient*> connect(const std::string& uid) const;
    /// What a call on the calendar that did not end in time gives; the calendar is not asked
    /// again in this run.
    StoreError notAnswering(const std::string& uid) const;
    /// The item made of the components; `timedOut` when one of its zones could not be had in
    /// time, another error (told once) when it cannot be read.
    Result<ical::Item> itemOf(const std::string& calendar, ECalClient* client,
                              const std::vector<ECalComponent*>& parts, ical::Keep keep) const;
    Result<Stored> read(const std::string& identifier, ical::Keep keep) const;
    /// The item read whole for a write; an error saying it was not `refused` ("overwritten",
    /// "removed") when another program changed it since the run saw it.
    Result<Stored> unchangedSinceSeen(const std::string& identifier, const char* refused) const;
    /// Each readable item of the calendar that the service's query selects, read now; an error
    /// when the calendar cannot be read in full.
    WriteError fetch(const std::string& calendar, const std::string& query,
                     const std::function<void(Listed&&)>& visit) const;
    /// After a write: the item read again into its calendar's listing, if the run keeps one.
    void relist(const std::string& identifier);
    /// The opened client of a calendar that takes changes.
    Result<ECalClient*> writable(const std::string& calendar);
    WriteError takeLock();
    WriteError create(Event& event);
    WriteError update(Event& event, Span span, Changes changes);
    WriteError remove(const Event& event, Span span);
    /// Writes what the format layer changed in the item back to the service.
    WriteError writeBack(const std::string& calendar, ECalClient* client, const std::string& uid,
                         const Stored& stored);
    /// Waits for a write on the calendar; its failure, if any.
    template <typename Begin, typename Finish>
    WriteError written(const std::string& calendar, Begin&& begin, Finish&& finish);

    static inline const Deadline never_{};
    std::ostream* diagnostics_;
    const TimeZone* zone_;
    const Deadline* deadline_;
    const Clock* clock_;
    mutable bool triedBus_ = false;
    mutable Ref<GDBusConnection> bus_;
    mutable std::optional<StoreError> busFailure_;
    mutable bool triedRegistry_ = false;
    mutable Ref<ESourceRegistry> registry_;
    mutable std::optional<StoreError> registryFailure_;
    mutable std::map<std::string, Connection> connections_;
    /// By calendar, what the run read once it held its lock.
    mutable std::map<std::string, std::vector<Listed>> listings_;
    mutable std::set<std::string> told_;
    /// The version of each item this run saw first once it began its changes: a write never
    /// overwrites what another program changed after that.
    mutable std::map<std::string, std::string> seen_;
    WriteLock lock_;
    WriteError lockFailure_;
};

}  // namespace ravu::evolution

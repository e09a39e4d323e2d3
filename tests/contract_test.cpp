// What every store owes the commands, written once and run against each store. A store joins
// with a factory: an empty store holding a writable calendar (`cal`, titled "Calendar") and a
// read-only one (`ro`), and whether other processes share it (peers' edits;
// tests/fault_test.cpp races whole runs for the write lock).
//
// Where the stores differ: the in-memory store is a test double that lays a series out with a
// fixed step from its start (no days of the week, no zones), so the rules here are UTC without
// days; and renaming a whole series renames an occurrence changed on its own in memory, while
// the directory store keeps the override's title, so no test renames both.
//
// The GNOME store runs on a real calendar service on a private bus, one per test process (GLib
// keeps one session bus per process); its calendars are emptied for each test. Its read-only
// calendar is one the service may not write to its file: the service itself still takes the
// writes of other clients into it, and the store refuses them. Peers' edits are not written
// into the service's files here: its own client stamps what it changes, and the store tests
// those stamps (the CalDAV test shows a server's changes coming back).
#include <gtest/gtest.h>

#include <thread>

#include <sstream>

#include "store/module.h"
#include "store/vdir/vdir_store.h"
#include "tests/support/akonadi_bus.h"
#include "tests/support/evolution_bus.h"
#include "tests/support/instants.h"
#include "tests/support/items.h"
#include "tests/support/memory_store.h"

namespace ravu::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

Event single(const std::string& calendar, const char* start) {
    Event event;
    event.calendarId = calendar;
    event.title = "Fixed";
    event.startDate = event.endDate = at(start);
    return event;
}

struct MemoryFactory {
    static constexpr bool shared = false;
    static constexpr const char* cal = "local/cal";
    static constexpr const char* ro = "local/ro";
    MemoryStore store;

    MemoryFactory() {
        store.addCalendar({"local/cal", "Calendar", true, std::nullopt, std::nullopt});
        store.addCalendar({"local/ro", "Read-only", false, std::nullopt, std::nullopt});
    }
    Store& open() { return store; }
    std::string addReadOnlyEvent() {
        return store.addEvent(single("local/ro", "2024-05-01T10:00:00Z")).identifier;
    }
};

struct VdirFactory {
    static constexpr bool shared = true;
    static constexpr const char* cal = "local/cal";
    static constexpr const char* ro = "local/ro";
    TempDir dir;
    fs::path root = dir.path() / "root";
    std::ostringstream diagnostics;
    std::unique_ptr<VdirStore> run;

    VdirFactory() {
        fs::create_directories(root / "local/cal");
        writeFile(root / "local/ro/readonly", "");
    }
    /// The store as a new run sees it.
    Store& open() { return *(run = another()); }
    std::unique_ptr<VdirStore> another() {
        return std::make_unique<VdirStore>(root, diagnostics, utcZone(), systemClock());
    }
    std::string addReadOnlyEvent() {
        writeFile(root / "local/ro/fixed.ics",
                  Item{"fixed"}.summary("Fixed").start("20240501T100000Z").text());
        return "local/ro/fixed";
    }
};

/// The one bus of this process, with the calendars "cal" and "ro"; null when the service
/// cannot run here. Its environment becomes this process's, as the program would run in it.
const EvolutionBus* contractBus() {
    static const std::unique_ptr<EvolutionBus> bus = []() -> std::unique_ptr<EvolutionBus> {
        if (!EvolutionBus::missing().empty()) {
            return nullptr;
        }
        auto started = std::make_unique<EvolutionBus>(std::map<std::string, std::string>{
            {"cal", EvolutionBus::localSource("Calendar", "#3465a4", true)},
            {"ro", EvolutionBus::localSource("Read-only", "#73d216", false)}});
        for (const auto& [name, value] : started->environment()) {
            ::setenv(name.c_str(), value.c_str(), 1);
        }
        return started->running() ? std::move(started) : nullptr;
    }();
    return bus.get();
}

struct EvolutionFactory {
    static constexpr bool shared = false;
    static constexpr const char* cal = "cal";
    static constexpr const char* ro = "ro";
    std::ostringstream diagnostics;
    std::unique_ptr<Store> run;

    EvolutionFactory() {
        if (const EvolutionBus* bus = contractBus()) {
            bus->client({"clear", cal});
            writeFile(bus->home() / "Read-only.ics", emptyCalendar);
        }
    }
    static std::string missing() {
        return contractBus() ? "" : "no calendar service: " + EvolutionBus::missing();
    }
    /// A new run, once the last one has let go of its calendars: the service then reads the
    /// read-only calendar's file again when it is next opened.
    Store& open() {
        run.reset();
        run = loadStoreModule(
            RAVU_EVOLUTION_MODULE, evolutionModule,
            {&diagnostics, &utcZone(), contractBus()->home() / "run", nullptr, &systemClock()});
        return *run;
    }
    std::string addReadOnlyEvent() {
        run.reset();
        writeFile(contractBus()->home() / "Read-only.ics",
                  Item{"fixed"}.summary("Fixed").start("20240501T100000Z").text());
        return "ro/fixed";
    }
};

/// The one Akonadi of this process, with an iCal-file resource "Calendar" and a read-only one
/// whose file a test writes as a peer would; null when it cannot run here.
struct Akonadi {
    AkonadiBus bus;
    AkonadiBus::Resource cal, ro;
};
const Akonadi* contractAkonadi() {
    static const std::unique_ptr<Akonadi> akonadi = []() -> std::unique_ptr<Akonadi> {
        if (!AkonadiBus::missing().empty()) {
            return nullptr;
        }
        auto started = std::make_unique<Akonadi>();
        for (const auto& [name, value] : started->bus.environment()) {
            ::setenv(name.c_str(), value.c_str(), 1);
        }
        const fs::path home = started->bus.home();
        for (const char* file : {"cal.ics", "ro.ics"}) {
            writeFile(home / file, emptyCalendar);
        }
        if (started->bus.startAkonadi()) {
            started->cal = started->bus.resource("akonadi_ical_resource", "Calendar",
                                                 "Path=" + (home / "cal.ics").string());
            started->ro =
                started->bus.resource("akonadi_ical_resource", "Read-only",
                                      "Path=" + (home / "ro.ics").string() + "\nReadOnly=true");
        }
        return started->ro.collection.empty() ? nullptr : std::move(started);
    }();
    return akonadi.get();
}

struct AkonadiFactory {
    static constexpr bool shared = false;
    static inline std::string cal, ro;
    std::ostringstream diagnostics;
    std::unique_ptr<Store> run;

    AkonadiFactory() {
        const Akonadi* akonadi = contractAkonadi();
        cal = akonadi != nullptr ? akonadi->cal.collection : "";
        ro = akonadi != nullptr ? akonadi->ro.collection : "";
    }
    static std::string missing() {
        return contractAkonadi() ? "" : "no Akonadi: " + AkonadiBus::missing();
    }
    Store& open() {
        run.reset();
        run = loadStoreModule(RAVU_AKONADI_MODULE, akonadiModule,
                              {&diagnostics, &utcZone(), contractAkonadi()->bus.home() / "run",
                               nullptr, &systemClock()});
        return *run;
    }
    std::string addReadOnlyEvent() {
        const Akonadi& akonadi = *contractAkonadi();
        writeFile(akonadi.bus.home() / "ro.ics",
                  Item{"fixed"}.summary("Fixed").start("20240501T100000Z").text());
        akonadi.bus.client({"sync", akonadi.ro.instance});
        return ro + "/fixed";
    }
};

template <typename Factory>
class StoreContract : public ::testing::Test {
  protected:
    Factory factory;

    void SetUp() override {
        if constexpr (requires { Factory::missing(); }) {
            if (const std::string why = Factory::missing(); !why.empty()) {
                GTEST_SKIP() << why;
            }
        }
    }

    /// Saves a new event of "local/cal" in Room 1 and gives its identifier.
    std::string create(const std::string& title, const char* start, std::chrono::minutes length,
                       std::optional<RecurrenceRule> rule = std::nullopt) {
        Event event = factory.open().newEvent();
        event.calendarId = Factory::cal;
        event.title = title;
        event.location = "Room 1";
        event.startDate = at(start);
        event.endDate = *event.startDate + length;
        event.recurrenceRules = rule ? std::vector{*rule} : std::vector<RecurrenceRule>{};
        EXPECT_EQ(factory.open().saveEvent(event, Span::futureEvents, Changes::all()),
                  std::nullopt);
        return event.identifier;
    }

    /// The events and occurrences of 2024, of one item (which a query of that item gives alike)
    /// or of all.
    std::vector<Event> events(const std::string& identifier = "") {
        const Instant from = at("2024-01-01T00:00:00Z"), to = at("2025-01-01T00:00:00Z");
        auto found = *factory.open().eventsMatching(predicateForEvents(from, to, {}));
        if (!identifier.empty()) {
            std::erase_if(found, [&](const Event& e) { return e.identifier != identifier; });
            EXPECT_EQ(factory.open().itemEventsMatching(identifier, from, to), found);
        }
        return found;
    }

    /// "start title@location" of each occurrence of the item.
    Strings occurrences(const std::string& identifier) {
        Strings seen;
        for (const Event& event : events(identifier)) {
            seen.push_back(iso(*event.startDate) + " " + event.title.value_or("") + "@" +
                           event.location.value_or(""));
        }
        return seen;
    }
};

using Stores = ::testing::Types<MemoryFactory, VdirFactory, EvolutionFactory, AkonadiFactory>;
TYPED_TEST_SUITE(StoreContract, Stores);

TYPED_TEST(StoreContract, ReadsCalendarsAndTheEventsOfAWindowInOrder) {
    const auto calendars = *this->factory.open().calendars(Listing::complete);
    ASSERT_EQ(calendars.size(), 2u);
    EXPECT_EQ(calendars[0].identifier + " " + calendars[1].identifier,
              std::string{TypeParam::cal} + " " + TypeParam::ro);
    EXPECT_TRUE(calendars[0].allowsContentModifications);
    EXPECT_FALSE(calendars[1].allowsContentModifications);

    const std::string late = this->create("Late", "2024-05-01T12:00:00Z", 60min);
    const std::string b = this->create("Same start", "2024-05-01T10:00:00Z", 30min);
    const std::string a = this->create("Same start", "2024-05-01T10:00:00Z", 60min);
    const std::string across = this->create("Across", "2024-04-30T23:00:00Z", 120min);
    this->create("Ends as the window starts", "2024-04-30T22:00:00Z", 120min);
    this->create("Next day", "2024-05-02T00:00:00Z", 60min);
    Strings order;
    const auto day = this->factory.open().eventsMatching(
        predicateForEvents(at("2024-05-01T00:00:00Z"), at("2024-05-02T00:00:00Z"), std::nullopt));
    for (const Event& event : *day) {
        order.push_back(event.identifier);
    }
    EXPECT_EQ(order, (Strings{across, std::min(a, b), std::max(a, b), late}));
    const auto found = this->factory.open().calendarItemWithIdentifier(late);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->title.value_or("") + " " + found->calendarId + " " + iso(*found->endDate),
              "Late " + std::string{TypeParam::cal} + " 2024-05-01T13:00:00Z");
}

TYPED_TEST(StoreContract, ASeriesGivesEachOccurrenceUntilItsEnd) {
    const RecurrenceRule everyOtherDay{Frequency::daily, 2, {}, OccurrenceCount{3}};
    const std::string counted = this->create("D", "2024-05-01T09:00:00Z", 30min, everyOtherDay);
    const std::string until =
        this->create("W", "2024-05-02T09:00:00Z", 30min,
                     RecurrenceRule{Frequency::weekly, 1, {}, at("2024-05-16T09:00:00Z")});
    EXPECT_EQ(this->occurrences(counted),
              (Strings{"2024-05-01T09:00:00Z D@Room 1", "2024-05-03T09:00:00Z D@Room 1",
                       "2024-05-05T09:00:00Z D@Room 1"}));
    EXPECT_EQ(this->occurrences(until),
              (Strings{"2024-05-02T09:00:00Z W@Room 1", "2024-05-09T09:00:00Z W@Room 1",
                       "2024-05-16T09:00:00Z W@Room 1"}));
    for (const Event& occurrence : this->events(until)) {
        EXPECT_EQ(occurrence.occurrenceDate, occurrence.startDate);
    }
    const auto series = this->factory.open().calendarItemWithIdentifier(counted);
    ASSERT_TRUE(series);
    EXPECT_EQ(series->startDate, at("2024-05-01T09:00:00Z"));
    EXPECT_TRUE(series->recurrenceRules.empty()) << "a save replaces the rules; none are read";

    // A count a file cannot hold is refused, not written.
    Event endless = *series;
    endless.identifier.clear();
    endless.recurrenceRules = {everyOtherDay};
    endless.recurrenceRules[0].end = OccurrenceCount{0};
    EXPECT_TRUE(this->factory.open().saveEvent(endless, Span::futureEvents, Changes::all()));
    EXPECT_EQ(this->events().size(), 6u);
}

TYPED_TEST(StoreContract, SavesReachAsFarAsTheirSpanAndTheirFields) {
    const std::string id =
        this->create("Sync", "2024-05-06T08:00:00Z", 60min,
                     RecurrenceRule{Frequency::weekly, 1, {}, OccurrenceCount{3}});
    Event second = this->events(id).at(1);
    second.title = "Moved";
    second.location = "Not written";
    second.startDate = at("2024-05-14T10:00:00Z");
    second.endDate = at("2024-05-14T11:00:00Z");
    ASSERT_EQ(this->factory.open().saveEvent(second, Span::thisEvent,
                                             Changes{.title = true, .times = true}),
              std::nullopt);
    EXPECT_EQ(this->occurrences(id),
              (Strings{"2024-05-06T08:00:00Z Sync@Room 1", "2024-05-14T10:00:00Z Moved@Room 1",
                       "2024-05-20T08:00:00Z Sync@Room 1"}));

    Event series = *this->factory.open().calendarItemWithIdentifier(id);
    series.title = "Renamed";
    series.location = "Not written either";
    ASSERT_EQ(this->factory.open().saveEvent(series, Span::futureEvents, Changes{.title = true}),
              std::nullopt);
    const Strings after = this->occurrences(id);
    EXPECT_EQ(after.front(), "2024-05-06T08:00:00Z Renamed@Room 1");
    EXPECT_EQ(after.back(), "2024-05-20T08:00:00Z Renamed@Room 1");
}

TYPED_TEST(StoreContract, RemovalsReachAsFarAsTheirSpan) {
    const std::string id =
        this->create("S", "2024-05-06T08:00:00Z", 60min,
                     RecurrenceRule{Frequency::daily, 1, {}, OccurrenceCount{5}});
    Event second = this->events(id).at(1);
    second.title = "Changed alone";  // removed, it takes its change with it
    ASSERT_EQ(this->factory.open().saveEvent(second, Span::thisEvent, Changes{.title = true}),
              std::nullopt);
    const Event changed = this->events(id).at(1);
    ASSERT_EQ(this->factory.open().removeEvent(changed, Span::thisEvent), std::nullopt);
    const Event fourth = this->events(id).at(2);
    ASSERT_EQ(this->factory.open().removeEvent(fourth, Span::futureEvents), std::nullopt);
    EXPECT_EQ(this->occurrences(id),
              (Strings{"2024-05-06T08:00:00Z S@Room 1", "2024-05-08T08:00:00Z S@Room 1"}));
    Store& again = this->factory.open();
    ASSERT_EQ(again.removeEvent(*again.calendarItemWithIdentifier(id), Span::futureEvents),
              std::nullopt);
    EXPECT_EQ(this->occurrences(id), Strings{});
    EXPECT_FALSE(this->factory.open().calendarItemWithIdentifier(id));
}

TYPED_TEST(StoreContract, AReadOnlyCalendarRefusesChangesWithAMessage) {
    const std::string id = this->factory.addReadOnlyEvent();
    Store& store = this->factory.open();
    Event fixed = *store.calendarItemWithIdentifier(id);
    fixed.title = "Changed";
    const WriteError saved = store.saveEvent(fixed, Span::futureEvents, Changes::all());
    EXPECT_NE(saved.value_or(StoreError{}).message, "");
    EXPECT_TRUE(store.removeEvent(fixed, Span::futureEvents));
    Event fresh = single(TypeParam::ro, "2024-05-02T10:00:00Z");
    EXPECT_TRUE(store.saveEvent(fresh, Span::futureEvents, Changes::all()));
    EXPECT_EQ(fresh.identifier, "");
    const auto left = *this->factory.open().eventsMatching(
        predicateForEvents(at("2024-05-01T00:00:00Z"), at("2024-05-03T00:00:00Z"), {}));
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].title, "Fixed");
}

TYPED_TEST(StoreContract, APeersEditIsKeptAndNeverOverwritten) {
    if constexpr (!TypeParam::shared) {
        GTEST_SKIP() << "no other process shares this store";
    } else {
        const fs::path file = this->factory.root / "local/cal/peer.ics";
        writeFile(file, Item{"peer"}
                            .summary("Sync")
                            .start("20240506T080000Z")
                            .rrule("FREQ=DAILY;COUNT=3")
                            .line("X-PEER", "kept")
                            .after("BEGIN:VEVENT\r\nUID:peer\r\nRECURRENCE-ID:20240507T080000Z\r\n"
                                   "DTSTART:20240507T100000Z\r\nSUMMARY:Later\r\nEND:VEVENT\r\n")
                            .text());
        // A save writes its fields and keeps every other line as the peer wrote it.
        Store& store = this->factory.open();
        Event series = *store.calendarItemWithIdentifier("local/cal/peer");
        series.title = "Renamed";
        ASSERT_EQ(store.saveEvent(series, Span::futureEvents, Changes{.title = true}),
                  std::nullopt);
        for (const char* kept : {"X-PEER:kept\r\n", "RRULE:FREQ=DAILY;COUNT=3\r\n",
                                 "SUMMARY:Later\r\n", "SUMMARY:Renamed\r\n"}) {
            EXPECT_NE(readFile(file).find(kept), std::string::npos) << kept << readFile(file);
        }

        // A peer saves after a run read the item: before the run began its changes, and again
        // after its look-ups under the lock, as the commands make them.
        this->factory.run.reset();
        const auto peerSaves = [&](const std::string& title) {
            const std::string text =
                Item{"peer"}.summary(title).start("20240506T080000Z").rrule("FREQ=DAILY").text();
            writeFile(file.parent_path() / ".peer", text);
            fs::rename(file.parent_path() / ".peer", file);
            return text;
        };
        auto run = this->factory.another();
        series = *run->calendarItemWithIdentifier("local/cal/peer");
        std::string peers = peerSaves("Early");
        ASSERT_EQ(run->beginChanges(), std::nullopt);
        EXPECT_TRUE(run->saveEvent(series, Span::futureEvents, Changes{.title = true}));
        EXPECT_EQ(readFile(file), peers);

        series = *run->calendarItemWithIdentifier("local/cal/peer");
        Event third = run->eventsMatching(predicateForEvents(at("2024-05-08T00:00:00Z"),
                                                             at("2024-05-09T00:00:00Z"), {}))
                          ->at(0);
        peers = peerSaves("Late");
        for (const WriteError& error : {run->saveEvent(series, Span::futureEvents, Changes::all()),
                                        run->saveEvent(third, Span::thisEvent, Changes::all()),
                                        run->removeEvent(third, Span::thisEvent),
                                        run->removeEvent(series, Span::futureEvents)}) {
            EXPECT_NE(error.value_or(StoreError{}).message.find("changed by another program"),
                      std::string::npos);
        }
        EXPECT_EQ(readFile(file), peers);
    }
}

// The desktop's other applications save through the calendar service, not into files: one that
// saves an item after a run looked it up under its lock is never overwritten by that run.
TEST(EvolutionStore, APeersSaveAfterTheLookUpIsNeverOverwritten) {
    EvolutionFactory factory;
    if (const std::string why = EvolutionFactory::missing(); !why.empty()) {
        GTEST_SKIP() << why;
    }
    const EvolutionBus& bus = *contractBus();
    const fs::path file = bus.home() / "peer.ics";
    const auto peerSaves = [&](const char* command, const char* title, const char* sequence) {
        writeFile(file, Item{"peer"}
                            .summary(title)
                            .start("20240506T080000Z")
                            .line("SEQUENCE", sequence)
                            .line("X-PEER", "kept")
                            .line("DESCRIPTION", "Notes")
                            .text());
        return bus.client({command, EvolutionFactory::cal, file.string()});
    };
    ASSERT_TRUE(peerSaves("add", "Sync", "0"));
    Store& store = factory.open();
    ASSERT_EQ(store.beginChanges(), std::nullopt);
    Event event = *store.calendarItemWithIdentifier("cal/peer");
    ASSERT_TRUE(peerSaves("modify", "Peer's", "1"));
    event.title = "Ours";
    EXPECT_NE(store.saveEvent(event, Span::futureEvents, Changes{.title = true})
                  .value_or(StoreError{})
                  .message.find("changed by another program"),
              std::string::npos);
    EXPECT_EQ(factory.open().calendarItemWithIdentifier("cal/peer")->title, "Peer's");

    // A save writes its fields and keeps what the program does not model, as the peer wrote it.
    Store& next = factory.open();
    event = *next.calendarItemWithIdentifier("cal/peer");
    event.title = "Ours";
    ASSERT_EQ(next.saveEvent(event, Span::futureEvents, Changes{.title = true}), std::nullopt);
    factory.run.reset();
    const fs::path stored = bus.home() / ".local/share/evolution/calendar/cal/calendar.ics";
    // The service writes its file a moment after it took the change.
    for (int i = 0; i < 100 && readFile(stored).find("SUMMARY:Ours") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds{100});
    }
    for (const char* kept : {"X-PEER:kept", "DESCRIPTION:Notes", "SUMMARY:Ours"}) {
        EXPECT_NE(readFile(stored).find(kept), std::string::npos) << kept << readFile(stored);
    }
}

}  // namespace
}  // namespace ravu::testing

// What every store owes the commands, written once and run against each store. A store joins
// with a factory: an empty store holding the writable calendar "local/cal" and the read-only
// "local/ro", and which of the optional behaviours it has.
//
// Where the stores differ:
// - The in-memory store is a test double: it lays a series out with a fixed step from its start
//   (no days of the week, no zones), so the suite writes its rules in UTC without days.
// - Renaming a whole series renames an occurrence changed on its own in memory; the directory
//   store keeps the override's own title. The suite checks neither.
// - Only the directory store is shared with other processes: it has the write lock, and files a
//   peer may change underneath a run.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <sstream>
#include <thread>

#include "store/vdir/vdir_store.h"
#include "tests/support/instants.h"
#include "tests/support/items.h"
#include "tests/support/memory_store.h"
#include "tests/support/process.h"

namespace ravu::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

/// A new event of no length.
Event single(const std::string& calendar, const std::string& title, const char* start) {
    Event event;
    event.calendarId = calendar;
    event.title = title;
    event.startDate = event.endDate = at(start);
    return event;
}

struct MemoryFactory {
    static constexpr bool sharedWithPeers = false;
    MemoryStore store;

    MemoryFactory() {
        store.addCalendar({"local/cal", "Calendar", true, std::nullopt, std::nullopt});
        store.addCalendar({"local/ro", "Read-only", false, std::nullopt, std::nullopt});
    }
    /// The store as a new run sees it.
    Store& open() { return store; }
    std::string addReadOnlyEvent() {
        return store.addEvent(single("local/ro", "Fixed", "2024-05-01T10:00:00Z")).identifier;
    }
};

struct VdirFactory {
    static constexpr bool sharedWithPeers = true;
    TempDir dir;
    fs::path root = dir.path() / "root";
    std::ostringstream diagnostics;
    std::unique_ptr<VdirStore> run;

    VdirFactory() {
        fs::create_directories(root / "local/cal");
        writeFile(root / "local/ro/readonly", "");
    }
    Store& open() {
        run.reset();
        run = another();
        return *run;
    }
    std::unique_ptr<VdirStore> another() {
        auto store = std::make_unique<VdirStore>(root, diagnostics, utcZone());
        store->setClock([] { return at("2024-06-01T12:00:00Z"); });
        return store;
    }
    std::string addReadOnlyEvent() {
        writeFile(root / "local/ro/fixed.ics",
                  Item{"fixed"}.summary("Fixed").start("20240501T100000Z").text());
        return "local/ro/fixed";
    }
    /// Every file under the test's folder but the lock, with its content.
    std::map<std::string, std::string> files() const {
        std::map<std::string, std::string> all;
        for (const auto& entry : fs::recursive_directory_iterator(dir.path())) {
            if (entry.is_regular_file() && entry.path().filename() != ".ravu-calendar.lock") {
                all[entry.path().string()] = readFile(entry.path());
            }
        }
        return all;
    }
};

template <typename Factory>
class StoreContract : public ::testing::Test {
  protected:
    Factory factory;

    /// Saves a new event in "local/cal" and gives its identifier.
    std::string create(const std::string& title, const char* start, std::chrono::minutes length,
                       std::optional<RecurrenceRule> rule = std::nullopt) {
        Event event = factory.open().newEvent();
        event.calendarId = "local/cal";
        event.title = title;
        event.location = "Room 1";
        event.startDate = at(start);
        event.endDate = *event.startDate + length;
        if (rule) {
            event.recurrenceRules = {*rule};
        }
        EXPECT_EQ(factory.open().saveEvent(event, Span::futureEvents, Changes::all()),
                  std::nullopt);
        return event.identifier;
    }

    std::vector<Event> during(const char* from, const char* to) {
        return factory.open().eventsMatching(predicateForEvents(at(from), at(to), std::nullopt));
    }

    /// "start title@location" of each occurrence of 2024.
    std::vector<std::string> occurrences(const std::string& identifier) {
        std::vector<std::string> seen;
        for (const Event& event : during("2024-01-01T00:00:00Z", "2025-01-01T00:00:00Z")) {
            if (event.identifier == identifier) {
                EXPECT_EQ(event.occurrenceDate.has_value(), !event.recurrenceRules.empty());
                seen.push_back(iso(*event.startDate) + " " + event.title.value_or("") + "@" +
                               event.location.value_or(""));
            }
        }
        return seen;
    }

    Event occurrenceAt(const std::string& identifier, const char* start) {
        for (const Event& event : during("2024-01-01T00:00:00Z", "2025-01-01T00:00:00Z")) {
            if (event.identifier == identifier && event.occurrenceDate == at(start)) {
                return event;
            }
        }
        ADD_FAILURE() << "no occurrence of " << identifier << " at " << start;
        return Event{};
    }
};

using Stores = ::testing::Types<MemoryFactory, VdirFactory>;
struct StoreNames {
    template <typename T>
    static std::string GetName(int) {
        return std::is_same_v<T, MemoryFactory> ? "Memory" : "Directory";
    }
};
TYPED_TEST_SUITE(StoreContract, Stores, StoreNames);

const RecurrenceRule weekly{Frequency::weekly, 1, {}, OccurrenceCount{4}};

TYPED_TEST(StoreContract, ReadsCalendarsAndTheEventsOfAWindowInOrder) {
    const auto calendars = this->factory.open().calendars();
    ASSERT_EQ(calendars.size(), 2u);
    EXPECT_EQ(calendars[0].identifier, "local/cal");
    EXPECT_TRUE(calendars[0].allowsContentModifications);
    EXPECT_EQ(calendars[1].identifier, "local/ro");
    EXPECT_FALSE(calendars[1].allowsContentModifications);

    const std::string late = this->create("Late", "2024-05-01T12:00:00Z", 60min);
    const std::string b = this->create("Same start", "2024-05-01T10:00:00Z", 30min);
    const std::string a = this->create("Same start", "2024-05-01T10:00:00Z", 60min);
    const std::string across = this->create("Across", "2024-04-30T23:00:00Z", 120min);
    this->create("Ends at the window", "2024-04-30T22:00:00Z", 120min);
    this->create("Next day", "2024-05-02T00:00:00Z", 60min);

    std::vector<std::string> order;
    for (const Event& event : this->during("2024-05-01T00:00:00Z", "2024-05-02T00:00:00Z")) {
        order.push_back(event.identifier);
    }
    EXPECT_EQ(order, (std::vector<std::string>{across, std::min(a, b), std::max(a, b), late}));
    const auto found = this->factory.open().calendarItemWithIdentifier(late);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->title, "Late");
    EXPECT_EQ(found->calendarId, "local/cal");
    EXPECT_EQ(found->endDate, at("2024-05-01T13:00:00Z"));
}

TYPED_TEST(StoreContract, ASeriesGivesEachOccurrenceUntilItsEnd) {
    const std::string counted =
        this->create("Daily", "2024-05-01T09:00:00Z", 30min,
                     RecurrenceRule{Frequency::daily, 2, {}, OccurrenceCount{3}});
    const std::string until =
        this->create("Weekly", "2024-05-02T09:00:00Z", 30min,
                     RecurrenceRule{Frequency::weekly, 1, {}, at("2024-05-16T09:00:00Z")});
    EXPECT_EQ(this->occurrences(counted),
              (std::vector<std::string>{"2024-05-01T09:00:00Z Daily@Room 1",
                                        "2024-05-03T09:00:00Z Daily@Room 1",
                                        "2024-05-05T09:00:00Z Daily@Room 1"}));
    EXPECT_EQ(this->occurrences(until),
              (std::vector<std::string>{"2024-05-02T09:00:00Z Weekly@Room 1",
                                        "2024-05-09T09:00:00Z Weekly@Room 1",
                                        "2024-05-16T09:00:00Z Weekly@Room 1"}));
    const auto series = this->factory.open().calendarItemWithIdentifier(counted);
    ASSERT_TRUE(series);
    EXPECT_EQ(series->startDate, at("2024-05-01T09:00:00Z"));
    EXPECT_EQ(series->recurrenceRules,
              (std::vector{RecurrenceRule{Frequency::daily, 2, {}, OccurrenceCount{3}}}));

    // A count a file cannot hold is refused, not written.
    Event endless = *series;
    endless.identifier.clear();
    endless.recurrenceRules[0].end = OccurrenceCount{0};
    EXPECT_TRUE(this->factory.open().saveEvent(endless, Span::futureEvents, Changes::all()));
    EXPECT_EQ(this->during("2024-01-01T00:00:00Z", "2025-01-01T00:00:00Z").size(), 6u);
}

TYPED_TEST(StoreContract, SavesReachAsFarAsTheirSpanAndTheirFields) {
    const std::string id = this->create("Sync", "2024-05-06T08:00:00Z", 60min, weekly);
    Event second = this->occurrenceAt(id, "2024-05-13T08:00:00Z");
    second.title = "Moved";
    second.location = "Not written";
    second.startDate = at("2024-05-14T10:00:00Z");
    second.endDate = at("2024-05-14T11:00:00Z");
    ASSERT_EQ(this->factory.open().saveEvent(second, Span::thisEvent,
                                             Changes{.title = true, .times = true}),
              std::nullopt);
    EXPECT_EQ(this->occurrences(id),
              (std::vector<std::string>{
                  "2024-05-06T08:00:00Z Sync@Room 1", "2024-05-14T10:00:00Z Moved@Room 1",
                  "2024-05-20T08:00:00Z Sync@Room 1", "2024-05-27T08:00:00Z Sync@Room 1"}));

    Event series = *this->factory.open().calendarItemWithIdentifier(id);
    series.title = "Renamed";
    series.location = "Not written either";
    ASSERT_EQ(this->factory.open().saveEvent(series, Span::futureEvents, Changes{.title = true}),
              std::nullopt);
    const auto after = this->occurrences(id);
    ASSERT_EQ(after.size(), 4u);
    EXPECT_EQ(after[0], "2024-05-06T08:00:00Z Renamed@Room 1");
    EXPECT_EQ(after[3], "2024-05-27T08:00:00Z Renamed@Room 1");
}

TYPED_TEST(StoreContract, RemovalsReachAsFarAsTheirSpan) {
    const std::string id =
        this->create("Sync", "2024-05-06T08:00:00Z", 60min,
                     RecurrenceRule{Frequency::daily, 1, {}, OccurrenceCount{5}});
    ASSERT_EQ(this->factory.open().removeEvent(this->occurrenceAt(id, "2024-05-07T08:00:00Z"),
                                               Span::thisEvent),
              std::nullopt);
    ASSERT_EQ(this->factory.open().removeEvent(this->occurrenceAt(id, "2024-05-09T08:00:00Z"),
                                               Span::futureEvents),
              std::nullopt);
    EXPECT_EQ(this->occurrences(id),
              (std::vector<std::string>{"2024-05-06T08:00:00Z Sync@Room 1",
                                        "2024-05-08T08:00:00Z Sync@Room 1"}));
    const Event series = *this->factory.open().calendarItemWithIdentifier(id);
    ASSERT_EQ(this->factory.open().removeEvent(series, Span::futureEvents), std::nullopt);
    EXPECT_EQ(this->occurrences(id), std::vector<std::string>{});
    EXPECT_FALSE(this->factory.open().calendarItemWithIdentifier(id));
}

TYPED_TEST(StoreContract, IdentifiersThatNameNothingFindNothingAndMakeNothing) {
    const std::string real = this->create("Real", "2024-05-06T08:00:00Z", 60min);
    const std::string name = real.substr(real.rfind('/') + 1);
    const std::string wrong[] = {"local/cal/missing", "../x",
                                 "a/b/../../c",       "local/../x",
                                 "../cal/x",          "local/cal/../../../x",
                                 "local/cal/..",      "local/cal/../cal/" + name};
    if constexpr (TypeParam::sharedWithPeers) {
        // Files that a path taken as it stands would reach.
        const fs::path dir = this->factory.dir.path();
        for (const fs::path& file : {dir / "x.ics", dir / "cal/x.ics", dir / "root/x.ics"}) {
            writeFile(file, Item{"x"}.start("20240501T100000Z").text());
        }
    }
    const auto before = [&] {
        if constexpr (TypeParam::sharedWithPeers) {
            return this->factory.files();
        } else {
            return 0;
        }
    }();
    for (const std::string& identifier : wrong) {
        SCOPED_TRACE(identifier);
        Store& store = this->factory.open();
        EXPECT_FALSE(store.calendarItemWithIdentifier(identifier));
        Event event = single("local/cal", "Stray", "2024-05-01T10:00:00Z");
        event.identifier = identifier;
        EXPECT_TRUE(store.saveEvent(event, Span::futureEvents, Changes::all()));
        (void)store.removeEvent(event, Span::futureEvents);  // may count as gone already
        // The same names as calendars of a new event.
        event.identifier.clear();
        event.calendarId = identifier.substr(0, identifier.rfind('/'));
        if (event.calendarId != "local/cal") {
            EXPECT_TRUE(store.saveEvent(event, Span::futureEvents, Changes::all()));
        }
    }
    if constexpr (TypeParam::sharedWithPeers) {
        EXPECT_EQ(this->factory.files(), before);
    }
    EXPECT_EQ(this->occurrences(real),
              (std::vector<std::string>{"2024-05-06T08:00:00Z Real@Room 1"}));
}

TYPED_TEST(StoreContract, AReadOnlyCalendarRefusesChangesWithAMessage) {
    const std::string id = this->factory.addReadOnlyEvent();
    Event fixed = *this->factory.open().calendarItemWithIdentifier(id);
    fixed.title = "Changed";
    const WriteError saved =
        this->factory.open().saveEvent(fixed, Span::futureEvents, Changes::all());
    ASSERT_TRUE(saved);
    EXPECT_NE(saved->message, "");
    EXPECT_TRUE(this->factory.open().removeEvent(fixed, Span::futureEvents));
    Event fresh = single("local/ro", "New", "2024-05-02T10:00:00Z");
    EXPECT_TRUE(this->factory.open().saveEvent(fresh, Span::futureEvents, Changes::all()));
    EXPECT_EQ(fresh.identifier, "");
    const auto left = this->during("2024-05-01T00:00:00Z", "2024-05-03T00:00:00Z");
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].title, "Fixed");
}

TYPED_TEST(StoreContract, ARunThatBeganChangesKeepsOtherRunsWaiting) {
    if constexpr (!TypeParam::sharedWithPeers) {
        GTEST_SKIP() << "no other process shares this store";
    } else {
        auto first = this->factory.another();
        ASSERT_EQ(first->beginChanges(), std::nullopt);
        std::atomic<bool> done = false;
        WriteError second;
        std::thread other{[&] {
            second = this->factory.another()->beginChanges();
            done = true;
        }};
        std::this_thread::sleep_for(300ms);
        EXPECT_FALSE(done) << "a second run began changes while the first held the store";
        first.reset();
        other.join();
        EXPECT_EQ(second, std::nullopt) << "the second run goes on once the first has ended";
    }
}

TYPED_TEST(StoreContract, APeersEditAfterTheRunReadIsNeverOverwritten) {
    if constexpr (!TypeParam::sharedWithPeers) {
        GTEST_SKIP() << "no other process shares this store";
    } else {
        const fs::path file = this->factory.root / "local/cal/peer.ics";
        const std::string original =
            Item{"peer"}
                .summary("Sync")
                .start("20240506T080000Z")
                .end("20240506T090000Z")
                .rrule("FREQ=DAILY;COUNT=3")
                .line("DESCRIPTION", "Agenda")
                .line("X-PEER", "kept")
                .after(
                    "BEGIN:VEVENT\r\nUID:peer\r\nRECURRENCE-ID:20240507T080000Z\r\n"
                    "DTSTART:20240507T100000Z\r\nSUMMARY:Later\r\nEND:VEVENT\r\n")
                .text();
        writeFile(file, original);
        {  // A save writes its fields and keeps every other line as the peer wrote it.
            auto run = this->factory.another();
            Event series = *run->calendarItemWithIdentifier("local/cal/peer");
            series.title = "Renamed";
            ASSERT_EQ(run->saveEvent(series, Span::futureEvents, Changes{.title = true}),
                      std::nullopt);
            std::string expected = original;
            expected.replace(expected.find("SUMMARY:Sync"), 12, "SUMMARY:Renamed");
            const std::string written = readFile(file);
            for (const char* kept :
                 {"DESCRIPTION:Agenda\r\n", "X-PEER:kept\r\n", "RRULE:FREQ=DAILY;COUNT=3\r\n",
                  "SUMMARY:Later\r\n", "SUMMARY:Renamed\r\n"}) {
                EXPECT_NE(written.find(kept), std::string::npos) << kept << "\n" << written;
            }
        }
        // A run looks up what it changes after it began changes, as the commands do.
        auto run = this->factory.another();
        ASSERT_EQ(run->beginChanges(), std::nullopt);
        Event series = *run->calendarItemWithIdentifier("local/cal/peer");
        Event third;
        for (const Event& event : run->eventsMatching(predicateForEvents(
                 at("2024-05-08T00:00:00Z"), at("2024-05-09T00:00:00Z"), std::nullopt))) {
            third = event;
        }
        const std::string peers = Item{"peer"}
                                      .summary("Peer's")
                                      .start("20240506T080000Z")
                                      .rrule("FREQ=DAILY;COUNT=3")
                                      .text();
        writeFile(file.parent_path() / ".peer", peers);
        fs::rename(file.parent_path() / ".peer", file);
        series.title = "Mine";
        third.title = "Mine too";
        int step = 0;
        for (const WriteError& error : {run->saveEvent(series, Span::futureEvents, Changes::all()),
                                        run->saveEvent(third, Span::thisEvent, Changes::all()),
                                        run->removeEvent(third, Span::thisEvent),
                                        run->removeEvent(series, Span::futureEvents)}) {
            ASSERT_TRUE(error) << "step " << step++;
            EXPECT_NE(error->message.find("changed by another program"), std::string::npos)
                << error->message;
        }
        EXPECT_EQ(readFile(file), peers);
    }
}

}  // namespace
}  // namespace ravu::testing

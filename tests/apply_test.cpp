// What only the in-memory store can stage: writes the store refuses, and what it is handed. Every
// other outcome is a golden case under tests/cases/apply/.
#include <gtest/gtest.h>

#include <sstream>

#include "apply/apply.h"
#include "convert/time.h"
#include "tests/support/instants.h"
#include "tests/support/memory_store.h"

namespace ravu::testing {
namespace {

struct Queue {
    MemoryStore store;
    std::ostringstream diagnostics;
    Context context{store, diagnostics, at("2026-12-07T12:00:00Z"), utcZone()};

    Queue() {
        store.addCalendar({"cal", "Home", true, std::nullopt, Source{"", SourceType::local}});
        Event event;
        event.identifier = "ev";
        event.calendarId = "cal";
        event.startDate = event.occurrenceDate = at("2026-12-08T09:00:00Z");
        event.endDate = at("2026-12-08T10:00:00Z");
        store.addEvent(event);
    }
};

const Json queue = Json::parse(R"({"pending":[
    {"op":"create","itemId":"c","logicalKey":"local||Home","startsAt":"2026-12-09T09:00:00Z"},
    {"op":"update","itemId":"u","eventkitEventId":"ev"},
    {"op":"updateExternal","eventkitEventId":"ev","occurrenceStart":"2026-12-08T09:00:00Z"},
    {"op":"deleteExternal","eventkitEventId":"ev","occurrenceStart":"2026-12-08T09:00:00Z"},
    {"op":"delete","eventkitEventId":"ev"}]})");

TEST(ApplyOnMemory, RefusedWritesAreTransientAndARefusedRemovalIsNotTold) {
    Queue run;
    run.store.failSavesWith = "disk full";
    run.store.failRemovalsWith = "read-only file";
    EXPECT_EQ(cmdApply(run.context, queue), Json::parse(R"({"writes":[
        {"itemId":"c","eventkitEventId":"","status":"transientError","error":"disk full"},
        {"itemId":"u","eventkitEventId":"ev","status":"transientError","error":"disk full"}],
      "deletes":[],
      "external":[
        {"uid":"ev","occurrenceStart":"2026-12-08T09:00:00Z","status":"transientError",
         "error":"disk full"},
        {"uid":"ev","occurrenceStart":"2026-12-08T09:00:00Z","status":"transientError",
         "error":"read-only file"}]})"));
}

// A store that keeps an event without a title is read back the same whatever the program saved:
// look at what was handed to the store.
TEST(ApplyOnMemory, TheHostsOwnItemsAreNeverSavedWithoutATitle) {
    Queue run;
    (void)cmdApply(run.context, Json{{"pending", {queue["pending"][0], queue["pending"][1]}}});
    ASSERT_EQ(run.store.items.size(), 2u);
    for (const auto& [identifier, item] : run.store.items) {
        EXPECT_EQ(item.title, "(untitled)") << identifier;
    }
}

}  // namespace
}  // namespace ravu::testing

// What only the in-memory store can stage: a look-up the store could not make, and what a write
// hands to the store. Every other outcome is a golden case under tests/cases/apply/.
#include <gtest/gtest.h>

#include <sstream>

#include "apply/apply.h"
#include "tests/support/instants.h"
#include "tests/support/memory_store.h"
#include "tests/support/process.h"

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
        store.addEvent(event);
    }
};

const Json queue = Json::parse(R"({"pending":[
    {"op":"create","itemId":"c","logicalKey":"local||Home","startsAt":"2026-12-09T09:00:00Z"},
    {"op":"update","itemId":"u","eventkitEventId":"ev"},
    {"op":"updateExternal","eventkitEventId":"ev","occurrenceStart":"2026-12-08T09:00:00Z"},
    {"op":"deleteExternal","eventkitEventId":"ev","occurrenceStart":"2026-12-08T09:00:00Z"},
    {"op":"delete","eventkitEventId":"ev"}]})");

// A look-up the store could not make tells the host to try again: nothing reads as done, and
// nothing as gone.
TEST(ApplyOnMemory, FailedLookUpsAreTransient) {
    Queue run;
    run.store.failReadsWith = "the calendar service did not answer in time";
    EXPECT_EQ(cmdApply(run.context, queue), Json::parse(filled(R"({"writes":[
        {"itemId":"c","eventkitEventId":"","status":"transientError","error":"@"},
        {"itemId":"u","eventkitEventId":"","status":"transientError","error":"@"}],
      "deletes":[],
      "external":[
        {"uid":"ev","occurrenceStart":"2026-12-08T09:00:00Z","status":"transientError","error":"@"},
        {"uid":"ev","occurrenceStart":"2026-12-08T09:00:00Z","status":"transientError",
         "error":"@"}]})",
                                                               {{"@", *run.store.failReadsWith}})));
}

// A store that keeps an event without a title reads back as "(untitled)" whatever the program
// saved, and peers would show it with none: look at what was handed to the store.
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

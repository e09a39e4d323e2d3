// What only the in-memory store can stage: writes the store refuses, and what it is handed. Every
// other outcome is a golden case under tests/cases/apply/.
#include <gtest/gtest.h>

#include <functional>
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

// A refused write, and a look-up the store could not make, tell the host to try again: nothing
// reads as done, and nothing as gone.
TEST(ApplyOnMemory, RefusedWritesAndFailedLookUpsAreTransient) {
    const auto outcome = [](const char* status, const char* error) {
        return Json{{"uid", "ev"},
                    {"occurrenceStart", "2026-12-08T09:00:00Z"},
                    {"status", status},
                    {"error", error}};
    };
    const auto write = [](const char* item, const char* id, const char* error) {
        return Json{{"itemId", item},
                    {"eventkitEventId", id},
                    {"status", "transientError"},
                    {"error", error}};
    };
    const char* late = "the calendar service did not answer in time";
    const struct {
        std::function<void(MemoryStore&)> stage;
        Json expected;
    } cases[] = {
        {[](MemoryStore& store) {
             store.failSavesWith = "disk full";
             store.failRemovalsWith = "read-only file";
         },
         {{"writes", {write("c", "", "disk full"), write("u", "ev", "disk full")}},
          {"deletes", Json::array()},
          {"external",
           {outcome("transientError", "disk full"), outcome("transientError", "read-only file")}}}},
        {[&](MemoryStore& store) { store.failReadsWith = late; },
         {{"writes", {write("c", "", late), write("u", "", late)}},
          {"deletes", Json::array()},
          {"external", {outcome("transientError", late), outcome("transientError", late)}}}},
    };
    for (const auto& [stage, expected] : cases) {
        Queue run;
        stage(run.store);
        EXPECT_EQ(cmdApply(run.context, queue), expected);
    }
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

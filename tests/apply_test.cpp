// What only the in-memory store can show: what a write hands to the store. Every outcome is a
// golden case under tests/cases/apply/.
#include <gtest/gtest.h>

#include <sstream>

#include "apply/apply.h"
#include "tests/support/instants.h"
#include "tests/support/memory_store.h"

namespace ravu::testing {
namespace {

// A store that keeps an event without a title reads back as "(untitled)" whatever the program
// saved, and peers would show it with none: look at what was handed to the store.
TEST(ApplyOnMemory, TheHostsOwnItemsAreNeverSavedWithoutATitle) {
    MemoryStore store;
    std::ostringstream diagnostics;
    Context context{store, diagnostics, at("2026-12-07T12:00:00Z"), utcZone()};
    store.addCalendar({"cal", "Home", true, std::nullopt, Source{"", SourceType::local}});
    Event event;
    event.identifier = "ev";
    event.calendarId = "cal";
    event.startDate = event.occurrenceDate = at("2026-12-08T09:00:00Z");
    store.addEvent(event);
    (void)cmdApply(context, Json::parse(R"({"pending":[
        {"op":"create","itemId":"c","logicalKey":"local||Home","startsAt":"2026-12-09T09:00:00Z"},
        {"op":"update","itemId":"u","eventkitEventId":"ev"}]})"));
    ASSERT_EQ(store.items.size(), 2u);
    for (const auto& [identifier, item] : store.items) {
        EXPECT_EQ(item.title, "(untitled)") << identifier;
    }
}

}  // namespace
}  // namespace ravu::testing

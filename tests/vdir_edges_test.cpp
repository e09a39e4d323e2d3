// Edges of the directory store's file handling that peers and killed runs leave behind.
#include <gtest/gtest.h>

#include <sstream>

#include "store/vdir/vdir_store.h"
#include "tests/support/instants.h"
#include "tests/support/process.h"

namespace ravu::testing {
namespace {

namespace fs = std::filesystem;

TEST(VdirEdges, WhatPeersAndKilledRunsLeaveBehind) {
    TempDir dir;
    const fs::path folder = dir.path() / "local" / "cal";
    writeFile(dir.path() / "secret", "not a title");
    writeFile(folder / "color", "#112233");
    fs::create_symlink(dir.path() / "secret", folder / "displayname");
    // A temporary file of a run killed two hours ago goes; one of a run writing now stays.
    writeFile(folder / ".ravu-calendar-Ab12Cd", "half");
    writeFile(folder / ".ravu-calendar-Ef34Gh", "half");
    fs::last_write_time(folder / ".ravu-calendar-Ab12Cd",
                        fs::file_time_type::clock::now() - std::chrono::hours{2});

    std::ostringstream told;
    VdirStore store{dir.path(), told, zone("UTC")};
    EXPECT_EQ(store.calendars().at(0).title, "cal") << "a displayname link is not followed";
    EXPECT_FALSE(store.calendarItemWithIdentifier("local/cal/" + std::string(300, 'x')));
    ASSERT_EQ(store.beginChanges(), std::nullopt);
    EXPECT_FALSE(fs::exists(folder / ".ravu-calendar-Ab12Cd"));
    EXPECT_TRUE(fs::exists(folder / ".ravu-calendar-Ef34Gh"));

    // The first and last moments of the years the store can write.
    for (const char* start : {"0001-01-01T00:00:00Z", "3000-12-31T23:00:00Z"}) {
        Event event = store.newEvent();
        event.calendarId = "local/cal";
        event.startDate = at(start);
        event.endDate = at(start);
        EXPECT_EQ(store.saveEvent(event, Span::futureEvents, Changes::all()), std::nullopt)
            << start;
        EXPECT_EQ(store.calendarItemWithIdentifier(event.identifier)->startDate, at(start));
    }
    Event later = store.newEvent();
    later.calendarId = "local/cal";
    later.startDate = at("3001-01-01T00:00:00Z");
    EXPECT_NE(store.saveEvent(later, Span::futureEvents, Changes::all()), std::nullopt);
    EXPECT_EQ(told.str(), "") << "a name too long for a file names no unreadable file";
}

}  // namespace
}  // namespace ravu::testing

// The snapshot document on the in-memory store: requests, access, the window and the records.
#include <gtest/gtest.h>

#include <sstream>

#include "convert/time.h"
#include "snapshot/snapshot.h"
#include "tests/support/instants.h"
#include "tests/support/memory_store.h"

namespace ravu::testing {
namespace {

using testing::at;

using Kind = MemoryStore::Call::Kind;

Calendar calendar(std::string identifier, std::string title) {
    Calendar c;
    c.identifier = std::move(identifier);
    c.title = std::move(title);
    c.source = Source{"", SourceType::local};
    return c;
}

Event event(std::string calendarId, std::string_view start, std::string_view end) {
    Event e;
    e.calendarId = std::move(calendarId);
    e.title = "Event";
    e.startDate = at(start);
    e.endDate = at(end);
    return e;
}

/// A store with the calendars "local||Home" (h) and "local||Work" (w), and now in mid-May 2024.
struct Fixture {
    MemoryStore store;
    std::ostringstream err;
    Context context;

    explicit Fixture(const TimeZone& zone = utcZone(), Instant now = at("2024-05-15T12:00:00Z"))
        : context{store, err, now, zone} {
        store.addCalendar(calendar("h", "Home"));
        store.addCalendar(calendar("w", "Work"));
    }
    Json snapshot(std::string_view request) { return cmdSnapshot(context, Json::parse(request)); }
};

TEST(Snapshot, WithoutAccessReadsNothing) {
    for (const auto status : {AuthorizationStatus::notDetermined, AuthorizationStatus::restricted,
                              AuthorizationStatus::denied, AuthorizationStatus::writeOnly}) {
        Fixture run;
        run.store.status = status;
        run.store.addCalendar(calendar("h2", "Home"));
        EXPECT_EQ(run.snapshot(R"({"logicalKeys":["local||Home"]})"),
                  Json::parse(R"({"feeds":{},"noAccess":true})"));
        EXPECT_EQ(run.store.count(Kind::query), 0u);
        EXPECT_EQ(run.store.count(Kind::requestAccess), 0u);
        EXPECT_EQ(run.err.str(), "") << "the catalogue is not even read";
    }
}

TEST(Snapshot, RequestsWithoutUsableKeysGiveEmptyFeeds) {
    for (const char* request : {
             R"({})",
             R"([])",
             R"(["local||Home"])",
             R"("local||Home")",
             R"(null)",
             R"({"logicalKeys":null})",
             R"({"logicalKeys":"local||Home"})",
             R"({"logicalKeys":{"local||Home":true}})",
             R"({"logicalKeys":[]})",
             R"({"logicalKeys":["local||Home",1]})",
             R"({"logicalKeys":["local||Home",null]})",
             R"({"logicalKeys":[["local||Home"]]})",
             R"({"LogicalKeys":["local||Home"]})",
             R"({"logicalKeys":["local||home","Home","local||Home|"]})",
         }) {
        Fixture run;
        run.store.addEvent(event("h", "2024-05-16T09:00:00Z", "2024-05-16T10:00:00Z"));
        EXPECT_EQ(run.snapshot(request), Json::parse(R"({"feeds":{}})")) << request;
        EXPECT_EQ(run.store.count(Kind::query), 0u) << request;
    }
}

TEST(Snapshot, OneQueryForEveryMatchedCalendar) {
    Fixture run;
    run.store.addCalendar(calendar("t", "Travel"));
    run.store.addCalendar(calendar("a", "Home"));  // kept for "local||Home" over "h"
    run.store.addEvent(event("h", "2024-05-16T09:00:00Z", "2024-05-16T10:00:00Z"));
    run.store.addEvent(event("a", "2024-05-17T09:00:00Z", "2024-05-17T10:00:00Z"));

    const Json document = run.snapshot(
        R"({"logicalKeys":["local||Travel","local||Home","local||Gone","local||Home"],
            "other":1})");
    ASSERT_EQ(run.store.count(Kind::query), 1u);
    const EventPredicate& query = run.store.calls.back().predicate;
    EXPECT_EQ(query.calendarIds, (std::vector<std::string>{"t", "a"}));

    // An empty feed for a calendar without events, none for a key without a calendar.
    ASSERT_EQ(document.size(), 1u);
    const Json& feeds = document.at("feeds");
    EXPECT_EQ(feeds.size(), 2u);
    EXPECT_EQ(feeds.at("local||Travel"), Json::array());
    ASSERT_EQ(feeds.at("local||Home").size(), 1u);
    EXPECT_EQ(feeds.at("local||Home")[0].at("startsAt"), "2024-05-17T09:00:00Z");
    EXPECT_EQ(run.err.str(), "ravu-calendar: skipping calendar with a duplicate identity: Home\n");
}

TEST(Snapshot, WindowMovesByCalendarDaysInTheUsersZone) {
    struct Case {
        const char* zone;
        const char* now;
        const char* start;
        const char* end;
    };
    for (const Case& c : {
             // Plain days in UTC.
             Case{"UTC", "2024-05-15T12:00:00Z", "2024-04-15T12:00:00Z", "2025-06-19T12:00:00Z"},
             // 14:00 in Berlin stays 14:00 across both changes of the clocks.
             Case{"Europe/Berlin", "2024-04-10T12:00:00Z", "2024-03-11T13:00:00Z",
                  "2025-05-15T12:00:00Z"},
             // 02:30 on 2024-04-10 in New York; 30 days back is 2024-03-11, after the gap.
             Case{"America/New_York", "2024-04-10T06:30:00Z", "2024-03-11T06:30:00Z",
                  "2025-05-15T06:30:00Z"},
             // 30 days back is 02:30 on 2024-03-10, inside the gap: it moves forward by the gap.
             Case{"America/New_York", "2024-04-09T06:30:00Z", "2024-03-10T07:30:00Z",
                  "2025-05-14T06:30:00Z"},
         }) {
        Fixture run{*findZone(c.zone), at(c.now)};
        run.snapshot(R"({"logicalKeys":["local||Home"]})");
        ASSERT_EQ(run.store.count(Kind::query), 1u);
        const EventPredicate& query = run.store.calls.back().predicate;
        EXPECT_EQ(iso(query.start), c.start) << c.zone << " " << c.now;
        EXPECT_EQ(iso(query.end), c.end) << c.zone << " " << c.now;
    }
}

TEST(Snapshot, AClockOutOfRangeKeepsTheWindowAtNow) {
    Fixture run{utcZone(), Instant::max()};
    EXPECT_EQ(run.snapshot(R"({"logicalKeys":["local||Home"]})"),
              Json::parse(R"({"feeds":{"local||Home":[]}})"));
    const EventPredicate& query = run.store.calls.back().predicate;
    EXPECT_EQ(query.start, Instant::max());
    EXPECT_EQ(query.end, Instant::max());
}

TEST(Snapshot, RecordsFollowTheStoreAndLeaveOutWhatIsMissing) {
    Fixture run;
    Event full = event("h", "2024-05-20T09:00:00.750Z", "2024-05-20T10:00:00Z");
    full.identifier = "full";
    full.title = "Dentist";
    full.location = "Main Street 1";
    full.lastModified = at("2024-05-01T08:00:00.5Z");
    full.url = "ravu://item/abc/def?x=1";
    full.timeZone = "Europe/Berlin";
    Event bare = event("h", "2024-05-19T00:00:00Z", "2024-05-20T00:00:00Z");
    bare.identifier = "bare";
    bare.title.reset();
    bare.endDate.reset();
    bare.allDay = true;
    bare.location = "";
    bare.url = "ravu://item/";
    Event emptyTitle = event("h", "2024-05-18T09:00:00Z", "2024-05-18T10:00:00Z");
    emptyTitle.identifier = "empty";
    emptyTitle.title = "";
    emptyTitle.url = "ravu://items/abc";
    Event upper = emptyTitle;
    upper.identifier = "upper";
    upper.url = "RAVU://item/abc";
    Event noStart = event("h", "2024-05-18T09:00:00Z", "2024-05-18T10:00:00Z");
    noStart.startDate.reset();
    // Rows of a series: same identifier, own start; the store's order is kept, not sorted.
    Event second = event("w", "2024-05-23T09:00:00Z", "2024-05-23T10:00:00Z");
    second.identifier = "series";
    second.occurrenceDate = second.startDate;
    Event first = second;
    first.startDate = at("2024-05-16T09:00:00Z");
    first.endDate = at("2024-05-16T10:00:00Z");
    first.occurrenceDate = first.startDate;
    for (const Event& e : {full, bare, emptyTitle, upper, noStart, second, first}) {
        run.store.addEvent(e);
    }
    // Starts before the window and ends inside it; and one wholly before it.
    Event overlapping = event("w", "2024-04-01T00:00:00Z", "2024-04-16T00:00:00Z");
    overlapping.identifier = "long";
    run.store.addEvent(overlapping);
    run.store.addEvent(event("w", "2024-04-01T00:00:00Z", "2024-04-15T12:00:00Z"));

    const Json expected = Json::parse(R"json({"feeds":{
        "local||Home":[
            {"uid":"full","title":"Dentist","startsAt":"2024-05-20T09:00:00Z",
             "endsAt":"2024-05-20T10:00:00Z","allDay":false,"location":"Main Street 1",
             "lastModified":"2024-05-01T08:00:00Z","ravuItemId":"abc/def?x=1"},
            {"uid":"bare","title":"(untitled)","startsAt":"2024-05-19T00:00:00Z","allDay":true},
            {"uid":"empty","title":"","startsAt":"2024-05-18T09:00:00Z",
             "endsAt":"2024-05-18T10:00:00Z","allDay":false},
            {"uid":"upper","title":"","startsAt":"2024-05-18T09:00:00Z",
             "endsAt":"2024-05-18T10:00:00Z","allDay":false}
        ],
        "local||Work":[
            {"uid":"series","title":"Event","startsAt":"2024-05-23T09:00:00Z",
             "endsAt":"2024-05-23T10:00:00Z","allDay":false},
            {"uid":"series","title":"Event","startsAt":"2024-05-16T09:00:00Z",
             "endsAt":"2024-05-16T10:00:00Z","allDay":false},
            {"uid":"long","title":"Event","startsAt":"2024-04-01T00:00:00Z",
             "endsAt":"2024-04-16T00:00:00Z","allDay":false}
        ]}})json");
    EXPECT_EQ(run.snapshot(R"({"logicalKeys":["local||Work","local||Home"]})"), expected);
}

}  // namespace
}  // namespace ravu::testing

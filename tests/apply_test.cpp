// The apply command against the in-memory store: field application, look-ups, and the outcome
// of every kind of entry.
#include <gtest/gtest.h>

#include <sstream>

#include "apply/apply.h"
#include "apply/fields.h"
#include "apply/lookup.h"
#include "convert/time.h"
#include "tests/support/instants.h"
#include "tests/support/memory_store.h"

namespace ravu::testing {
namespace {

using testing::at;

Changes applyJson(const Json& fields, Event& event) {
    return ravu::apply(parseEntry(fields), event);
}
Changes applyExternalJson(const Json& fields, Event& event) {
    return applyExternal(parseEntry(fields), event);
}

using namespace std::chrono_literals;
using Kind = MemoryStore::Call::Kind;

Event timed(std::string identifier, std::string_view start, Instant::duration length = 1h) {
    Event event;
    event.identifier = std::move(identifier);
    event.title = "Meeting";
    event.startDate = at(start);
    event.endDate = *event.startDate + length;
    return event;
}

/// An occurrence of a series, as a query returns it.
Event occurrence(std::string identifier, std::string_view start, bool allDay = false) {
    Event event = timed(std::move(identifier), start, allDay ? Instant::duration{24h} : 1h);
    event.allDay = allDay;
    event.occurrenceDate = event.startDate;
    return event;
}

TEST(ApplyFields, DefaultsOfTheHostsOwnItems) {
    Event untitled;
    untitled.allDay = true;
    untitled.url = "https://example.org/";
    untitled.endDate = at("2024-05-01T10:00:00Z");
    untitled.recurrenceRules = {RecurrenceRule{}};
    Event expected = untitled;
    applyJson(Json::object(), untitled);
    expected.title = "(untitled)";
    expected.allDay = false;
    expected.recurrenceRules.clear();
    EXPECT_EQ(untitled, expected);

    Event titled = timed("e", "2024-05-01T09:00:00Z", 3h);
    applyJson(Json{{"title", 7}, {"allDay", "true"}, {"startsAt", "2024-05-01"}}, titled);
    EXPECT_EQ(titled.title, "Meeting");
    EXPECT_EQ(titled.endDate, at("2024-05-01T10:00:00Z"));
    applyJson(Json{{"title", ""}}, titled);
    EXPECT_EQ(titled.title, "");
}

TEST(ApplyFields, EndIsSentOrAnHourAfterTheStart) {
    struct Case {
        Json fields;
        std::string_view start, end;
    };
    for (const auto& [fields, start, end] : std::vector<Case>{
             {{{"startsAt", "2024-05-02T09:00:00Z"}},
              "2024-05-02T09:00:00Z",
              "2024-05-02T10:00:00Z"},
             {{{"startsAt", "2024-05-02T00:00:00Z"}, {"allDay", true}},
              "2024-05-02T00:00:00Z",
              "2024-05-02T01:00:00Z"},
             {{{"startsAt", "2024-05-02T09:00:00Z"}, {"endsAt", "2024-05-02T08:00:00+00:00"}},
              "2024-05-02T09:00:00Z",
              "2024-05-02T08:00:00Z"},
         }) {
        Event event = timed("e", "2024-05-01T09:00:00Z", 72h);
        applyJson(fields, event);
        EXPECT_EQ(event.startDate, at(start)) << fields;
        EXPECT_EQ(event.endDate, at(end)) << fields;
    }
}

TEST(ApplyFields, MarkerAndRepetition) {
    Event event = timed("e", "2024-05-01T09:00:00Z");
    event.url = "https://example.org/";
    for (const Json& itemId : {Json(), Json(""), Json("a\nb"), Json(42)}) {
        applyJson(Json{{"itemId", itemId}}, event);
        EXPECT_EQ(event.url, "https://example.org/") << itemId;
    }
    applyJson(Json{{"itemId", "abc"}, {"recurrenceRule", "FREQ=DAILY;COUNT=3"}}, event);
    EXPECT_EQ(event.url, "ravu://item/abc");
    ASSERT_EQ(event.recurrenceRules.size(), 1u);
    EXPECT_EQ(event.recurrenceRules[0].end, RecurrenceEnd{OccurrenceCount{3}});
    for (const Json& rule : {Json("FREQ=MONTHLY;BYSETPOS=1"), Json(""), Json(3), Json()}) {
        event.recurrenceRules = {RecurrenceRule{}};
        applyJson(Json{{"recurrenceRule", rule}}, event);
        EXPECT_TRUE(event.recurrenceRules.empty()) << rule;
    }
}

TEST(ApplyExternal, ChangesOnlyWhatIsSentButResetsTheEnd) {
    Event event = occurrence("s", "2024-05-01T09:00:00Z");
    event.endDate = at("2024-05-01T12:00:00Z");
    event.url = "https://example.org/";
    event.location = "Room 1";
    event.timeZone = "Europe/Berlin";
    event.recurrenceRules = {RecurrenceRule{}};
    Event expected = event;
    applyExternalJson(Json{{"title", "New"},
                       {"allDay", "true"},
                       {"itemId", "x"},
                       {"location", nullptr},
                       {"recurrenceRule", "FREQ=DAILY"}},
                  event);
    expected.title = "New";
    expected.endDate = at("2024-05-01T10:00:00Z");
    EXPECT_EQ(event, expected);

    applyExternalJson(Json{{"location", ""}}, event);
    EXPECT_EQ(event.location, std::nullopt);
    applyExternalJson(Json{{"location", "Room 2"}, {"allDay", true}}, event);
    EXPECT_EQ(event.location, "Room 2");
    EXPECT_EQ(event.endDate, event.startDate);
}

TEST(ApplyExternal, AnEndBeforeTheStartIsRepaired) {
    struct Case {
        bool allDay;
        std::string_view endsAt, end;
    };
    for (const auto& [allDay, endsAt, end] : std::vector<Case>{
             {false, "2024-05-01T08:30:00Z", "2024-05-01T10:00:00Z"},
             {true, "2024-05-01T08:30:00Z", "2024-05-01T09:00:00Z"},
             {false, "2024-05-01T09:00:00Z", "2024-05-01T09:00:00Z"},
             {false, "2024-05-01T09:30:00Z", "2024-05-01T09:30:00Z"},
         }) {
        Event event = occurrence("s", "2024-05-01T00:00:00Z");
        event.allDay = allDay;
        applyExternalJson(Json{{"startsAt", "2024-05-01T09:00:00Z"}, {"endsAt", endsAt}}, event);
        EXPECT_EQ(event.endDate, at(end)) << allDay << " " << endsAt;
    }
}

class Lookup : public ::testing::Test {
  protected:
    MemoryStore store;
    std::ostringstream diagnostics;
    Context context{store, diagnostics, at("2024-05-01T08:00:00Z"), utcZone()};
};

TEST_F(Lookup, FindByMarkerTakesTheFirstExactMarkerWithinADay) {
    const Instant near = at("2024-05-01T12:00:00Z");
    for (const char* url : {"ravu://item/ab", "ravu://item/abc ", "RAVU://item/abc", ""}) {
        Event other = timed("other", "2024-05-01T12:00:00Z");
        other.url = *url ? std::optional<std::string>{url} : std::nullopt;
        store.addEvent(other);
    }
    Event far = timed("far", "2024-04-29T10:00:00Z", 25h);
    far.url = "ravu://item/abc";
    store.addEvent(far);
    EXPECT_EQ(findByMarker(context, "abc", near), std::nullopt);

    for (const char* start : {"2024-05-02T11:00:00Z", "2024-05-01T13:00:00Z"}) {
        Event series = occurrence("series", start);
        series.url = "ravu://item/abc";
        store.addEvent(series);
    }
    const auto found = findByMarker(context, "abc", near);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->occurrenceDate, at("2024-05-02T11:00:00Z"));

    const auto queries = store.count(Kind::query);
    EXPECT_EQ(findByMarker(context, "a\nb", near), std::nullopt);
    EXPECT_EQ(store.count(Kind::query), queries);
}

TEST_F(Lookup, FindOccurrenceTestsOnlyTheNearestStart) {
    const Instant near = at("2024-05-01T12:00:00Z");
    auto hourlyFrom = [&](Instant::duration offset) {
        store.rows.clear();
        store.addEvent(timed("other", "2024-05-01T12:00:00Z"));
        for (int hour = -3; hour <= 3; ++hour) {
            store.addEvent(occurrence("hourly", iso(near + offset + std::chrono::hours{hour})));
        }
    };
    hourlyFrom(119s);
    EXPECT_EQ(findOccurrence(context, "hourly", near).value().startDate, near + 119s);
    hourlyFrom(-120s);
    EXPECT_EQ(findOccurrence(context, "hourly", near), std::nullopt);

    store.rows = {occurrence("tie", "2024-05-01T12:00:30Z"),
                  occurrence("tie", "2024-05-01T11:59:30Z")};
    EXPECT_EQ(findOccurrence(context, "tie", near).value().startDate, at("2024-05-01T12:00:30Z"));

    store.rows = {occurrence("days", "2024-05-01T00:00:00Z", true),
                  occurrence("days", "2024-05-02T00:00:00Z", true)};
    EXPECT_EQ(findOccurrence(context, "days", at("2024-05-01T10:00:00Z")).value().startDate,
              at("2024-05-01T00:00:00Z"));
    // The nearest is tomorrow's: today's, farther away, is not looked at.
    EXPECT_EQ(findOccurrence(context, "days", at("2024-05-01T20:00:00Z")), std::nullopt);
}

TEST_F(Lookup, FindAllDayOccurrenceComparesDayText) {
    Event zoned = occurrence("s", "2025-03-07T00:00:00Z", true);
    zoned.timeZone = "America/New_York";  // its day there is 2025-03-06
    Event timedSameDay = occurrence("s", "2025-03-07T00:00:00Z");
    timedSameDay.timeZone = "UTC";
    store.rows = {timedSameDay, zoned, occurrence("s", "2025-03-07T00:00:00Z", true)};
    EXPECT_EQ(findAllDayOccurrence(context, "s", "2025-03-07").value().timeZone, std::nullopt);
    EXPECT_EQ(findAllDayOccurrence(context, "s", "2025-03-06").value().timeZone,
              "America/New_York");

    const auto queries = store.count(Kind::query);
    for (const char* day : {"", "2025-03", "2025-03-x", "2025-03-07-08", "2025-02-30",
                            "99999999999-01-01", "2025-03-07T00:00:00Z"}) {
        EXPECT_EQ(findAllDayOccurrence(context, "s", day), std::nullopt) << day;
    }
    EXPECT_EQ(store.count(Kind::query), queries);
    for (const char* day : {"2025-03-07-x", "2025-3-7", "+2025-03-07"}) {
        EXPECT_EQ(findAllDayOccurrence(context, "s", day), std::nullopt) << day;
    }
    EXPECT_EQ(store.count(Kind::query), queries + 3);
}

TEST_F(Lookup, WindowsAreCalendarDaysInTheUsersZone) {
    Context berlin{store, diagnostics, context.now, *findZone("Europe/Berlin")};
    (void)findOccurrence(berlin, "s", at("2024-03-31T12:00:00Z"));  // the 23-hour day
    EXPECT_EQ(store.calls.back().predicate.start, at("2024-03-30T13:00:00Z"));
    EXPECT_EQ(store.calls.back().predicate.end, at("2024-04-01T12:00:00Z"));
    EXPECT_EQ(store.calls.back().predicate.calendarIds, std::nullopt);
    (void)findAllDayOccurrence(berlin, "s", "2024-03-31");
    EXPECT_EQ(store.calls.back().predicate.start, at("2024-03-28T23:00:00Z"));
    EXPECT_EQ(store.calls.back().predicate.end, at("2024-04-01T22:00:00Z"));
}

const Json emptyDocument = {
    {"writes", Json::array()}, {"deletes", Json::array()}, {"external", Json::array()}};

class ApplyCommand : public Lookup {
  protected:
    void SetUp() override {
        store.addCalendar({"cal-home", "Home", true, std::nullopt, Source{"", SourceType::local}});
        store.addCalendar(
            {"cal-ro", "Holidays", false, std::nullopt, Source{"", SourceType::local}});
    }
    Json run(Json pending) { return cmdApply(context, Json{{"pending", std::move(pending)}}); }
    static Json create(std::string itemId, Json extra = Json::object()) {
        Json entry{{"op", "create"},
                   {"itemId", std::move(itemId)},
                   {"logicalKey", "local||Home"},
                   {"startsAt", "2024-05-01T09:00:00Z"},
                   {"title", "Write"}};
        entry.update(extra);
        return entry;
    }
    static Json external(std::string op, std::string uid, std::string start, Json extra = {}) {
        Json entry{{"op", op}, {"eventkitEventId", uid}, {"occurrenceStart", start}};
        if (extra.is_object()) {
            entry.update(extra);
        }
        return entry;
    }
};

TEST_F(ApplyCommand, NothingHappensWithoutAccessOrWithABadQueue) {
    store.status = AuthorizationStatus::writeOnly;
    EXPECT_EQ(run({create("i")}), emptyDocument);
    store.status = AuthorizationStatus::fullAccess;
    for (const Json& request :
         {Json{{"pending", {create("i"), 42}}}, Json{{"pending", create("i")}}, Json::object(),
          Json::array({create("i")}), Json{{"Pending", {create("i")}}}}) {
        EXPECT_EQ(cmdApply(context, request), emptyDocument) << request;
    }
    // Ops are compared exactly; entries without one leave no trace.
    EXPECT_EQ(run({create("i", {{"op", "Create"}}),
                   create("i", {{"op", 1}}),
                   {{"op", "DELETE"}, {"eventkitEventId", "x"}},
                   {{"eventkitEventId", "x"}}}),
              emptyDocument);
    EXPECT_TRUE(store.calls.empty());
}

TEST_F(ApplyCommand, CreateIsFoundByItsMarkerTheSecondTime) {
    const Json applied = {
        {"writes", {{{"itemId", "i1"}, {"eventkitEventId", "mem-1"}, {"status", "applied"}}}},
        {"deletes", Json::array()},
        {"external", Json::array()}};
    EXPECT_EQ(run({create("i1")}), applied);
    EXPECT_EQ(run({create("i1", {{"title", "Changed"}})}), applied);
    ASSERT_EQ(store.rows.size(), 1u);
    EXPECT_EQ(store.rows[0].calendarId, "cal-home");
    EXPECT_EQ(store.rows[0].title, "Write");
    EXPECT_EQ(store.rows[0].url, "ravu://item/i1");
    EXPECT_EQ(store.count(Kind::save), 1u);
    EXPECT_EQ(store.calls[store.calls.size() - 2].span, Span::futureEvents);
}

TEST_F(ApplyCommand, CreateOutcomes) {
    // No key, a read-only calendar, an unknown key: passed over. Without an item id or a start
    // nothing is looked for, so each entry makes an event.
    const Json result = run({create("a", {{"logicalKey", nullptr}}),
                             create("b", {{"logicalKey", "local||Holidays"}}),
                             create("c", {{"logicalKey", "local||home"}}), create(""), create(""),
                             create("d", {{"startsAt", 1}}), create("d", {{"startsAt", 1}})});
    EXPECT_EQ(result["writes"].size(), 4u);
    EXPECT_EQ(result["writes"][0]["itemId"], "");
    EXPECT_EQ(store.rows.size(), 4u);

    store.failSavesWith = "disk full";
    EXPECT_EQ(run({create("e")})["writes"],
              Json::parse(R"([{"itemId":"e","eventkitEventId":"","status":"transientError",
                               "error":"disk full"}])"));
}

TEST_F(ApplyCommand, UpdateAndDeleteOutcomes) {
    store.addEvent(timed("ev-1", "2024-05-01T09:00:00Z"));
    store.addEvent(timed("ev-2", "2024-05-01T09:00:00Z"));
    const Json result = run({
        {{"op", "update"}, {"itemId", "i"}, {"eventkitEventId", "ev-1"}, {"title", "New"}},
        {{"op", "update"}, {"itemId", "i"}, {"eventkitEventId", "gone"}},
        {{"op", "update"}, {"itemId", "i"}},
        {{"op", "delete"}, {"eventkitEventId", "ev-1"}},
        {{"op", "delete"}, {"eventkitEventId", "ev-1"}},
        {{"op", "delete"}, {"eventkitEventId", 5}},
    });
    EXPECT_EQ(result["writes"], Json::parse(R"([
        {"itemId":"i","eventkitEventId":"ev-1","status":"applied"},
        {"itemId":"i","eventkitEventId":"","status":"permanentError",
         "error":"event no longer on device"}])"));
    EXPECT_EQ(result["deletes"], Json::array({"ev-1", "ev-1"}));
    EXPECT_EQ(store.calls[1].kind, Kind::save);
    EXPECT_EQ(store.calls[1].span, Span::futureEvents);
    EXPECT_EQ(store.rows.size(), 1u);

    store.failSavesWith = "locked";
    store.failRemovalsWith = "locked";
    EXPECT_EQ(run({{{"op", "update"}, {"itemId", "i"}, {"eventkitEventId", "ev-2"}},
                   {{"op", "delete"}, {"eventkitEventId", "ev-2"}}}),
              Json::parse(R"({"writes":[{"itemId":"i","eventkitEventId":"ev-2",
                  "status":"transientError","error":"locked"}],"deletes":[],"external":[]})"));
}

TEST_F(ApplyCommand, ExternalOutcomes) {
    const Instant modified = at("2024-04-20T10:00:00Z");
    for (const char* start :
         {"2024-05-01T09:00:00Z", "2024-05-01T10:00:00Z", "2024-05-01T11:00:00Z"}) {
        Event row = occurrence("s", start);
        row.lastModified = modified;
        store.addEvent(row);
    }
    const Json result = run({
        external("updateExternal", "s", "2024-05-01T09:00:00.000+00:00",
                 {{"title", "Moved"}, {"baseLastModified", "2024-04-20T09:59:59Z"}}),
        external("deleteExternal", "s", "2024-05-01T10:00:00Z",
                 {{"baseLastModified", "2024-04-20T09:59:58.500Z"}}),
        external("deleteExternal", "s", "2024-05-01T11:00:00Z", {{"baseLastModified", "bad"}}),
        external("deleteExternal", "s", "2024-05-03T11:00:00Z"),
        external("deleteExternal", "s", "2024-05-01"),
        {{"op", "deleteExternal"}, {"occurrenceStart", "2024-05-01T10:00:00Z"}},
    });
    EXPECT_EQ(result["external"], Json::parse(R"([
        {"uid":"s","occurrenceStart":"2024-05-01T09:00:00.000+00:00","status":"applied"},
        {"uid":"s","occurrenceStart":"2024-05-01T10:00:00Z","status":"conflict"},
        {"uid":"s","occurrenceStart":"2024-05-01T11:00:00Z","status":"applied"},
        {"uid":"s","occurrenceStart":"2024-05-03T11:00:00Z","status":"permanentError",
         "error":"occurrence no longer on device"}])"));
    ASSERT_EQ(store.rows.size(), 2u);
    EXPECT_EQ(store.rows[0].title, "Moved");
    EXPECT_EQ(store.rows[0].occurrenceDate, at("2024-05-01T09:00:00Z"));
    EXPECT_EQ(store.rows[1].startDate, at("2024-05-01T10:00:00Z"));
    for (const auto& call : store.calls) {
        if (call.kind == Kind::save || call.kind == Kind::remove) {
            EXPECT_EQ(call.span, Span::thisEvent);
            EXPECT_TRUE(call.occurrenceDate);
        }
    }

    store.failRemovalsWith = "read-only file";
    EXPECT_EQ(run({external("deleteExternal", "s", "2024-05-01T10:00:00Z")})["external"][0],
              Json::parse(R"({"uid":"s","occurrenceStart":"2024-05-01T10:00:00Z",
                              "status":"transientError","error":"read-only file"})"));
}

TEST_F(ApplyCommand, AllDayLookUpOnlyForAnExactUtcMidnight) {
    store.addEvent(occurrence("h", "2024-05-01T00:00:00Z", true));
    for (const auto& [start, allDay, windowStart] :
         std::vector<std::tuple<std::string, Json, std::string_view>>{
             {"2024-05-01T00:00:00Z", true, "2024-04-29T00:00:00Z"},
             {"2024-05-01T00:00:00.500Z", true, "2024-04-30T00:00:00.500Z"},
             {"2024-05-01T00:00:00Z", false, "2024-04-30T00:00:00Z"},
             {"2024-05-01T00:00:00Z", "true", "2024-04-30T00:00:00Z"},
         }) {
        const Json result = run({external("updateExternal", "h", start, {{"allDay", allDay}})});
        EXPECT_EQ(result["external"][0]["status"], "applied") << start << allDay;
        EXPECT_EQ(store.calls[store.calls.size() - 2].predicate.start, at(windowStart));
    }
}

TEST_F(ApplyCommand, AQueueNeverConflictsWithItsOwnWrites) {
    store.stampWritesAt = context.now;
    const std::string base = "2024-04-20T10:00:00Z";
    for (const char* start :
         {"2024-05-01T09:00:00Z", "2024-05-02T09:00:00Z", "2024-05-03T09:00:00Z"}) {
        Event row = occurrence("weekly", start);
        row.lastModified = at(base);
        store.addEvent(row);
    }
    const Json queue = {
        external("deleteExternal", "weekly", "2024-05-01T09:00:00Z", {{"baseLastModified", base}}),
        external("deleteExternal", "weekly", "2024-05-02T09:00:00Z", {{"baseLastModified", base}}),
        external("updateExternal", "weekly", "2024-05-03T09:00:00Z",
                 {{"baseLastModified", base}, {"title", "Last"}}),
    };
    const Json result = run(queue);
    ASSERT_EQ(result["external"].size(), 3u);
    for (const Json& outcome : result["external"]) {
        EXPECT_EQ(outcome["status"], "applied") << outcome;
    }
    ASSERT_EQ(store.rows.size(), 1u);
    EXPECT_EQ(store.rows[0].title, "Last");

    // A change by somebody else before this run still counts.
    store.rows[0].lastModified = at(base) + 2s;
    EXPECT_EQ(run({queue[2]})["external"][0]["status"], "conflict");
}

TEST_F(ApplyCommand, ThousandsOfEntries) {
    Json pending = Json::array();
    for (int i = 0; i < 5000; ++i) {
        pending.push_back({{"op", i % 2 ? "delete" : "update"},
                           {"eventkitEventId", "../../" + std::to_string(i)}});
    }
    const Json result = run(pending);
    EXPECT_EQ(result["writes"].size(), 2500u);
    EXPECT_EQ(result["deletes"].size(), 2500u);
    EXPECT_EQ(result["deletes"][0], "../../1");
}

}  // namespace
}  // namespace ravu::testing

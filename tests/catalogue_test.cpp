// Logical keys, colour text, de-duplication and the calendars document, on the in-memory store.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>

#include "catalogue/catalogue.h"
#include "convert/time.h"
#include "tests/support/memory_store.h"

namespace ravu::testing {
namespace {

const std::string skipLine = "ravu-calendar: skipping calendar with a duplicate identity: ";

Calendar calendar(std::string identifier, std::string title,
                  std::optional<Source> source = Source{"", SourceType::local}) {
    Calendar c;
    c.identifier = std::move(identifier);
    c.title = std::move(title);
    c.source = std::move(source);
    return c;
}

struct Fixture {
    MemoryStore store;
    std::ostringstream err;
    Context context{store, err, Instant{}, utcZone()};
};

std::vector<std::string> identifiers(const std::vector<Calendar>& calendars) {
    std::vector<std::string> ids;
    for (const Calendar& c : calendars) {
        ids.push_back(c.identifier);
    }
    return ids;
}

TEST(LogicalKey, JoinsTypeWordSourceTitleAndTitle) {
    struct Case {
        std::optional<Source> source;
        std::string title;
        std::string key;
    };
    const std::vector<Case> cases{
        {Source{"", SourceType::local}, "Home", "local||Home"},
        {Source{"Work Server", SourceType::calDAV}, "Team", "caldav|Work Server|Team"},
        {Source{"Office", SourceType::exchange}, "Mail", "exchange|Office|Mail"},
        {Source{"iCloud", SourceType::mobileMe}, "Old", "other|iCloud|Old"},
        {Source{"Feeds", SourceType::subscribed}, "Holidays", "subscribed|Feeds|Holidays"},
        {Source{"Contacts", SourceType::birthdays}, "Birthdays", "birthdays|Contacts|Birthdays"},
        {Source{"X", SourceType::other}, "Y", "other|X|Y"},
        {Source{"X", static_cast<SourceType>(42)}, "Y", "other|X|Y"},
        {std::nullopt, "Loose", "other||Loose"},
        // Nothing is escaped, trimmed or folded: the key is only ever compared whole.
        {Source{"a|b", SourceType::local}, " c|d ", "local|a|b| c|d "},
        {Source{"", SourceType::local}, "", "local||"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(logicalKey(calendar("id", c.title, c.source)), c.key);
    }
}

TEST(Hex, FormatsTheFirstThreeComponents) {
    using Color = std::optional<std::vector<double>>;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<std::pair<Color, std::optional<std::string>>> cases{
        {std::vector{1.0, 0.0, 0.5}, "#FF0080"},
        {std::vector{27 / 255.0, 173 / 255.0, 248 / 255.0, 1.0}, "#1BADF8"},
        {std::vector{0.0, 0.0, 0.0, 0.25, 0.75}, "#000000"},
        {std::vector{0.0, 1.0, 1.0}, "#00FFFF"},
        // Not clamped: a component above 1.0 gives more than two digits.
        {std::vector{2.0, 1.5, 1.0}, "#1FE17FFF"},
        {std::vector{0.5, 0.5}, std::nullopt},
        {std::vector<double>{}, std::nullopt},
        {std::nullopt, std::nullopt},
        {std::vector{-0.1, 0.0, 0.0}, std::nullopt},
        {std::vector{0.0, nan, 0.0}, std::nullopt},
        {std::vector{0.0, 0.0, inf}, std::nullopt},
        {std::vector{1e300, 0.0, 0.0}, std::nullopt},
    };
    for (const auto& [color, text] : cases) {
        EXPECT_EQ(hex(color), text) << ::testing::PrintToString(color);
    }
    // A negative zero is zero, not a negative component.
    EXPECT_EQ(hex(std::vector{-0.0, 0.0, 0.0}), "#000000");
}

TEST(UniqueCalendars, KeepsTheSmallestIdentifierWhereverItStands) {
    Fixture run;
    EXPECT_TRUE(uniqueCalendars(run.context).empty());
    run.store.addCalendar(calendar("b", "Team"));
    run.store.addCalendar(calendar("x", "Home"));
    run.store.addCalendar(calendar("a", "Team"));
    run.store.addCalendar(calendar("c", "Team"));
    run.store.addCalendar(calendar("y", "home"));  // another key: case is not folded

    EXPECT_EQ(identifiers(uniqueCalendars(run.context)), (std::vector<std::string>{"x", "a", "y"}));
    EXPECT_EQ(run.err.str(), skipLine + "Team\n" + skipLine + "Team\n");
}

TEST(UniqueCalendars, ComparesIdentifiersByCodePoint) {
    Fixture run;
    // "é" (U+00E9) comes after "z", and "Z" before "a"; a signed byte comparison gets it wrong.
    run.store.addCalendar(calendar("\xC3\xA9", "One"));
    run.store.addCalendar(calendar("z", "One"));
    run.store.addCalendar(calendar("a", "Two"));
    run.store.addCalendar(calendar("Z", "Two"));

    EXPECT_EQ(identifiers(uniqueCalendars(run.context)), (std::vector<std::string>{"z", "Z"}));
    EXPECT_EQ(run.err.str(), skipLine + "One\n" + skipLine + "Two\n");
}

TEST(FirstWritableCalendar, LooksOnlyAtTheCalendarKeptForTheKey) {
    Fixture run;
    Calendar readOnly = calendar("a", "Shared");
    readOnly.allowsContentModifications = false;
    run.store.addCalendar(calendar("b", "Shared"));  // writable, but a dropped duplicate
    run.store.addCalendar(readOnly);
    run.store.addCalendar(calendar("c", "Mine"));

    EXPECT_EQ(firstWritableCalendar(run.context, "local||Mine").value().identifier, "c");
    EXPECT_FALSE(firstWritableCalendar(run.context, "local||Shared"));
    EXPECT_FALSE(firstWritableCalendar(run.context, "local||mine"));
    EXPECT_FALSE(firstWritableCalendar(run.context, "local||Nothing"));
    EXPECT_FALSE(firstWritableCalendar(run.context, ""));
}

TEST(CmdCalendars, WithoutAccessListsNothing) {
    for (const auto status : {AuthorizationStatus::notDetermined, AuthorizationStatus::restricted,
                              AuthorizationStatus::denied, AuthorizationStatus::writeOnly}) {
        Fixture run;
        run.store.status = status;
        run.store.addCalendar(calendar("1", "Home"));
        run.store.addCalendar(calendar("2", "Home"));
        EXPECT_EQ(cmdCalendars(run.context), Json::parse(R"({"calendars":[]})"));
        EXPECT_EQ(run.err.str(), "");
        EXPECT_EQ(run.store.count(MemoryStore::Call::Kind::requestAccess), 0u);
    }
}

TEST(CmdCalendars, ListsOneEntryPerKey) {
    Fixture run;
    Calendar home = calendar("h", "Home");
    home.color = std::vector{0.0, 0.0, 0.0};
    Calendar homeKept = calendar("a", "Home");
    homeKept.color = std::vector{1.0, 0.0, 0.5, 1.0};
    Calendar loose = calendar("l", "Loose", std::nullopt);
    loose.color = std::vector{0.5, 1.0};
    Calendar holidays = calendar("s", "Holidays", Source{"Feeds", SourceType::subscribed});
    holidays.allowsContentModifications = false;
    run.store.addCalendar(home);
    run.store.addCalendar(loose);
    run.store.addCalendar(homeKept);
    run.store.addCalendar(holidays);

    const Json expected = Json::parse(R"({"calendars":[
        {"id":"l","logicalKey":"other||Loose","title":"Loose","sourceTitle":"Calendar",
         "writable":true},
        {"id":"a","logicalKey":"local||Home","title":"Home","sourceTitle":"",
         "writable":true,"colorHex":"#FF0080"},
        {"id":"s","logicalKey":"subscribed|Feeds|Holidays","title":"Holidays",
         "sourceTitle":"Feeds","writable":false}
    ]})");
    EXPECT_EQ(cmdCalendars(run.context), expected);
    EXPECT_EQ(run.err.str(), skipLine + "Home\n");
}

}  // namespace
}  // namespace ravu::testing

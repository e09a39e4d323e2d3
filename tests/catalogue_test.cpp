// Logical keys, colour text and the choice among calendars that share a key.
#include <gtest/gtest.h>

#include <limits>
#include <sstream>

#include "catalogue/catalogue.h"
#include "convert/time.h"
#include "tests/support/memory_store.h"

namespace ravu::testing {
namespace {

Calendar calendar(std::string identifier, std::string title,
                  std::optional<Source> source = Source{"", SourceType::local}) {
    return Calendar{std::move(identifier), std::move(title), true, std::nullopt, std::move(source)};
}

TEST(LogicalKey, JoinsTypeWordSourceTitleAndTitle) {
    const std::vector<std::pair<std::optional<Source>, std::string>> cases{
        {Source{"Office", SourceType::exchange}, "exchange|Office|T"},
        {Source{"iCloud", SourceType::mobileMe}, "other|iCloud|T"},
        {Source{"Feeds", SourceType::subscribed}, "subscribed|Feeds|T"},
        {Source{"Contacts", SourceType::birthdays}, "birthdays|Contacts|T"},
        {Source{"X", static_cast<SourceType>(42)}, "other|X|T"},
        {std::nullopt, "other||T"},
        // Nothing is escaped, trimmed or folded: the key is only ever compared whole.
        {Source{" a|b", SourceType::calDAV}, "caldav| a|b|T"},
    };
    for (const auto& [source, key] : cases) {
        EXPECT_EQ(logicalKey(calendar("id", "T", source)), key);
    }
}

TEST(Hex, RoundsHalvesUpAndRefusesWhatIsNoColour) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<std::pair<std::vector<double>, std::optional<std::string>>> cases{
        {{1.0, 0.0, 0.5}, "#FF0080"},    {{27 / 255.0, 173 / 255.0, 248 / 255.0, 0.1}, "#1BADF8"},
        {{-0.0, 0.0, 0.0}, "#000000"},   {{2.0, 1.5, 1.0}, "#1FE17FFF"},  // not clamped
        {{0.5, 0.5}, std::nullopt},      {{-0.1, 0.0, 0.0}, std::nullopt},
        {{0.0, nan, 0.0}, std::nullopt}, {{1e300, 0.0, 0.0}, std::nullopt},
    };
    for (const auto& [color, text] : cases) {
        EXPECT_EQ(hex(color), text) << ::testing::PrintToString(color);
    }
    EXPECT_EQ(hex(std::nullopt), std::nullopt);
}

TEST(UniqueCalendars, KeepsTheIdentifierFirstInCodePointOrder) {
    MemoryStore store;
    std::ostringstream err;
    Context context{store, err, Instant{}, utcZone()};
    // "é" (U+00E9) comes after "z", and "Z" before "a"; a signed byte comparison gets it wrong.
    for (const char* id : {"\xC3\xA9", "z"}) {
        store.addCalendar(calendar(id, "One"));
    }
    for (const char* id : {"a", "Z"}) {
        store.addCalendar(calendar(id, "Two"));
    }
    std::vector<std::string> kept;
    for (const Calendar& c : uniqueCalendars(context)) {
        kept.push_back(c.identifier);
    }
    EXPECT_EQ(kept, (std::vector<std::string>{"z", "Z"}));
}

}  // namespace
}  // namespace ravu::testing

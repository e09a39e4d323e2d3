// Instants, days and marker URLs as text.
#include <gtest/gtest.h>

#include "convert/marker.h"
#include "convert/time.h"
#include "tests/support/instants.h"

namespace ravu {
namespace {

using testing::at;
using testing::zone;

using namespace std::chrono_literals;

TEST(Iso, WritesUtcWithWholeSeconds) {
    EXPECT_EQ(iso(at("2024-05-01T12:00:00.900Z")), "2024-05-01T12:00:00Z");
    EXPECT_EQ(iso(at("2024-05-01T14:00:00+02:00")), "2024-05-01T12:00:00Z");
    EXPECT_EQ(iso(at("1969-12-31T23:59:59.5Z")), "1969-12-31T23:59:59Z");
}

TEST(ParseISO, AcceptsTheInternetForms) {
    EXPECT_EQ(at("2024-05-01T12:00:00.123Z") - at("2024-05-01T12:00:00Z"), 123ms);
    EXPECT_EQ(at("2024-05-01T14:00:00+02:00"), at("2024-05-01T12:00:00Z"));
    EXPECT_EQ(at("2024-05-01T00:30:00-05:30"), at("2024-05-01T06:00:00Z"));
    EXPECT_EQ(at("2024-02-29T00:00:00Z") + 24h, at("2024-03-01T00:00:00Z"));
}

TEST(ParseISO, RefusesEverythingElse) {
    for (const char* text :
         {"", "2024-05-01", "2024-05-01T12:00:00", "2024-05-01T12:00Z", "2024-05-01 12:00:00Z",
          "2024-05-01T12:00:00.Z", "2024-05-01T12:00:00+0200", "2024-05-01T12:00:00Zjunk",
          "2024-13-01T12:00:00Z", "2023-02-29T12:00:00Z", "2024-05-01T24:00:00Z",
          "2024-05-01T12:60:00Z", "24-05-01T12:00:00Z", "2024-05-01t12:00:00z",
          "+2024-05-01T12:00:00Z", "2024-05-01T12:00:00+24:00",
          // Found by fuzzing: offsets that move the instant out of the four-digit years.
          "0000-01-01T00:28:00+01:10", "9999-12-31T23:30:00-01:00"}) {
        EXPECT_FALSE(parseISO(text)) << text;
    }
}

TEST(DayString, TakesTheDayInTheGivenZone) {
    EXPECT_EQ(dayString(at("2024-05-01T23:30:00Z"), zone("Etc/GMT-2")), "2024-05-02");
    EXPECT_EQ(dayString(at("2024-05-01T23:30:00Z"), utcZone()), "2024-05-01");
    EXPECT_EQ(dayString(at("2024-05-01T03:00:00Z"), zone("America/New_York")), "2024-04-30");
    EXPECT_EQ(dayString(at("0999-01-01T00:00:00Z"), utcZone()), "0999-01-01");
}

TEST(UtcDayKey, OnlyExactUtcMidnights) {
    EXPECT_EQ(utcDayKey(at("2024-05-01T00:00:00Z")), "2024-05-01");
    EXPECT_EQ(utcDayKey(at("1969-12-31T00:00:00Z")), "1969-12-31");
    EXPECT_FALSE(utcDayKey(at("2024-05-01T00:00:00.5Z")));
    EXPECT_FALSE(utcDayKey(at("2024-05-01T00:00:00.0000001Z")));
    EXPECT_FALSE(utcDayKey(at("2024-05-01T12:00:00Z")));
    EXPECT_FALSE(utcDayKey(at("2024-05-01T00:00:00+02:00")));
}

TEST(FindZone, RefusesNamesThatAreNotZoneNames) {
    EXPECT_NE(findZone("Europe/Berlin"), nullptr);
    for (const char* name : {"", "../../../etc/passwd", "/etc/localtime", "Europe/../UTC",
                             "Nowhere/Atlantis", "UTC\n"}) {
        EXPECT_EQ(findZone(name), nullptr) << name;
    }
}

TEST(CalendarDays, KeepTheWallClockAcrossDaylightSaving) {
    const auto& berlin = zone("Europe/Berlin");
    // 2024-03-31 is 23 hours long in Berlin; a day later at the same wall time is 23h away.
    EXPECT_EQ(addDays(at("2024-03-30T11:00:00Z"), 1, berlin), at("2024-03-31T10:00:00Z"));
    EXPECT_EQ(addDays(at("2024-03-31T10:00:00Z"), -1, berlin), at("2024-03-30T11:00:00Z"));
    // 02:30 does not exist on 2024-03-31: it moves forward by the gap, to 03:30 CEST.
    EXPECT_EQ(addDays(at("2024-03-30T01:30:00Z"), 1, berlin), at("2024-03-31T01:30:00Z"));
    // 02:30 happens twice on 2024-10-27: the earlier one is taken.
    EXPECT_EQ(addDays(at("2024-10-26T00:30:00Z"), 1, berlin), at("2024-10-27T00:30:00Z"));
    // Lord Howe moves by half an hour.
    const auto& lordHowe = zone("Australia/Lord_Howe");
    EXPECT_EQ(addDays(at("2024-04-06T12:00:00Z"), 1, lordHowe), at("2024-04-07T12:30:00Z"));
}

TEST(CalendarDays, StartOfDayAndSameDay) {
    const auto& newYork = zone("America/New_York");
    EXPECT_EQ(startOfDay(2024, 5, 1, newYork), at("2024-05-01T04:00:00Z"));
    EXPECT_FALSE(startOfDay(2024, 2, 30, newYork));
    // Havana skipped midnight itself on 2024-03-10: the day began at 01:00 CDT.
    EXPECT_EQ(startOfDay(2024, 3, 10, zone("America/Havana")), at("2024-03-10T05:00:00Z"));
    EXPECT_TRUE(sameDay(at("2024-05-01T04:00:00Z"), at("2024-05-02T03:59:59Z"), newYork));
    EXPECT_FALSE(sameDay(at("2024-05-01T03:59:59Z"), at("2024-05-01T04:00:00Z"), newYork));
}

TEST(Marker, RoundTripsEveryPrintableId) {
    for (const char* id :
         {"abc", "a/b?c=1", "with space", "#hash%25", "üñí©ødé", "ravu://item/x"}) {
        const auto url = markerURL(id);
        ASSERT_TRUE(url) << id;
        EXPECT_EQ(*url, std::string{"ravu://item/"} + id);
        EXPECT_EQ(markerItemId(url), id);
    }
}

TEST(Marker, ReadsOnlyTheExactPrefix) {
    EXPECT_FALSE(markerItemId(std::nullopt));
    EXPECT_FALSE(markerItemId("ravu://item/"));
    EXPECT_FALSE(markerItemId("RAVU://item/abc"));
    EXPECT_FALSE(markerItemId("ravu://items/abc"));
    EXPECT_FALSE(markerItemId("https://example.org/ravu://item/abc"));
    EXPECT_EQ(markerURL(""), "ravu://item/");
}

TEST(Marker, IdsWithControlCharactersGiveNoUrl) {
    for (const char* id :
         {"a\nb", "a\rb", "tab\t", "nul\x01", "del\x7f", "nel\xc2\x85", "line\xe2\x80\xa8sep"}) {
        EXPECT_FALSE(markerURL(id)) << id;
    }
}

}  // namespace
}  // namespace ravu

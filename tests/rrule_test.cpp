// RRULE text to the store's rule: the subset, its defaults and its quiet refusals.
#include <gtest/gtest.h>

#include "apply/rrule.h"
#include "convert/time.h"

namespace ravu {
namespace {

using enum Weekday;

RecurrenceRule rule(Frequency frequency, std::int64_t interval = 1, std::vector<Weekday> days = {},
                    std::optional<RecurrenceEnd> end = std::nullopt) {
    return RecurrenceRule{frequency, interval, std::move(days), std::move(end)};
}

Instant utc(std::string_view text) {
    return parseISO(text).value();
}

struct Case {
    const char* text;
    std::optional<RecurrenceRule> expected;
};

void expectRules(const std::vector<Case>& cases) {
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(ekRecurrence(text), expected) << text;
    }
}

TEST(EkRecurrence, ReadsTheSubsetWhateverTheCase) {
    const auto mondayWednesdayFriday = rule(Frequency::weekly, 1, {monday, wednesday, friday});
    expectRules({
        {"FREQ=WEEKLY;BYDAY=MO,WE,FR", mondayWednesdayFriday},
        {"freq=weekly;byday=mo,we,fr", mondayWednesdayFriday},
        {"rrule:Freq=Weekly;ByDay=Mo,We,Fr", mondayWednesdayFriday},
        {"FREQ=WEEKLY;RRULE:BYDAY=MO,WE,FR;", mondayWednesdayFriday},
        {"==FREQ=WEEKLY;;BYDAY=MO,,WE,FR,;X-NAME=a=b", mondayWednesdayFriday},
        {"FREQ=DAILY;FREQ=WEEKLY", rule(Frequency::weekly)},
        {"FREQ=YEARLY;BYMONTH=3;WKST=SU", rule(Frequency::yearly)},
        // A key without a value counts for nothing, not even for refusing the rule.
        {"FREQ=MONTHLY;BYMONTHDAY=", rule(Frequency::monthly)},
    });
}

TEST(EkRecurrence, BadValuesFallBackToDefaults) {
    expectRules({
        {"FREQ=DAILY;INTERVAL=0", rule(Frequency::daily)},
        {"FREQ=DAILY;INTERVAL=-3", rule(Frequency::daily)},
        {"FREQ=DAILY;INTERVAL=x", rule(Frequency::daily)},
        {"FREQ=DAILY;INTERVAL=2 ", rule(Frequency::daily)},
        {"FREQ=DAILY;INTERVAL=+-2", rule(Frequency::daily)},
        {"FREQ=DAILY;INTERVAL=99999999999999999999", rule(Frequency::daily)},
        {"FREQ=DAILY; INTERVAL=2", rule(Frequency::daily)},
        {"FREQ=DAILY;INTERVAL=+3", rule(Frequency::daily, 3)},
        {"FREQ=WEEKLY;BYDAY=MO,XX,TU", rule(Frequency::weekly, 1, {monday, tuesday})},
        {"FREQ=WEEKLY;BYDAY=XX", rule(Frequency::weekly)},
        {"FREQ=WEEKLY;BYDAY=MO,MO", rule(Frequency::weekly, 1, {monday, monday})},
    });
}

TEST(EkRecurrence, RefusesWhatTheSubsetCannotSay) {
    for (const char* text : {
             "",
             ";;;",
             "RRULE:",
             "INTERVAL=2",
             "FREQ=HOURLY",
             "FREQ=DAILY ;COUNT=2",
             "FREQ=DAILY\n",
             "FREQ=MONTHLY;BYDAY=-1FR",
             "FREQ=MONTHLY;BYDAY=MO,2TU",
             "FREQ=MONTHLY;BYMONTHDAY=15",
             "FREQ=MONTHLY;BYSETPOS=-1;BYDAY=FR",
             "DTSTART:20240101T090000Z\nRRULE:FREQ=DAILY",
             // One pass: the "RRULE:" that the removal joins up stays in the key.
             "RRRULE:ULE:FREQ=DAILY",
         }) {
        EXPECT_EQ(ekRecurrence(text), std::nullopt) << text;
    }
}

TEST(EkRecurrence, UpperCasesBeyondASCII) {
    expectRules({
        {"FREQ=DA\u0131LY", rule(Frequency::daily)},  // dotless i
        {"FREQ=WEEKLY;BYDAY=\u017FU,\u017FA", rule(Frequency::weekly, 1, {sunday, saturday})},
        {"FREQ=WEEKLY;BYDAY=MO,\u00DF", rule(Frequency::weekly, 1, {monday})},  // SS
        {"FREQ=WEEKLY;BYDAY=MO,\uFB00", rule(Frequency::weekly, 1, {monday})},  // FF
        // Characters, not bytes, make an ordinal: É and J + caron are one character each.
        {"FREQ=WEEKLY;BYDAY=MO,M\u00E9", rule(Frequency::weekly, 1, {monday})},
        {"FREQ=WEEKLY;BYDAY=MO,M\u01F0", rule(Frequency::weekly, 1, {monday})},
    });
    EXPECT_EQ(ekRecurrence("FREQ=WEEKLY;BYDAY=\u00DFU"), std::nullopt);    // SSU
    EXPECT_EQ(ekRecurrence("FREQ=WEEKLY;BYDAY=MO,\uFB03"), std::nullopt);  // FFI
    EXPECT_EQ(ekRecurrence("FREQ=WEEKLY;BYDAY=\u00E9\u00E8\u00E0"), std::nullopt);
}

TEST(EkRecurrence, CountWinsOverUntil) {
    const Instant noon = utc("2024-05-01T12:00:00Z");
    expectRules({
        {"FREQ=DAILY;COUNT=5;UNTIL=20240501T120000Z",
         rule(Frequency::daily, 1, {}, OccurrenceCount{5})},
        {"FREQ=DAILY;UNTIL=20240501T120000Z;COUNT=0",
         rule(Frequency::daily, 1, {}, OccurrenceCount{0})},
        {"FREQ=DAILY;COUNT=-2", rule(Frequency::daily, 1, {}, OccurrenceCount{-2})},
        {"FREQ=DAILY;COUNT=five;UNTIL=20240501T120000Z", rule(Frequency::daily, 1, {}, noon)},
        {"freq=daily;until=20240501t120000z", rule(Frequency::daily, 1, {}, noon)},
        {"FREQ=DAILY;UNTIL=20240501", rule(Frequency::daily, 1, {}, utc("2024-05-01T00:00:00Z"))},
        {"FREQ=DAILY;UNTIL=2024-05-01", rule(Frequency::daily)},
        {"FREQ=DAILY;COUNT=;UNTIL=x", rule(Frequency::daily)},
    });
}

TEST(ParseRRuleUntil, OnlyTheTwoExactForms) {
    EXPECT_EQ(parseRRuleUntil("20240501T123456Z"), utc("2024-05-01T12:34:56Z"));
    EXPECT_EQ(parseRRuleUntil("20240229"), utc("2024-02-29T00:00:00Z"));
    EXPECT_EQ(parseRRuleUntil("19691231T235959Z"), utc("1969-12-31T23:59:59Z"));
    for (const char* text : {"",
                             "T",
                             "2024050",
                             "202405011",
                             "20230229",
                             "20240230",
                             "20241301",
                             "20240001",
                             "20240501T240000Z",
                             "20240501T126000Z",
                             "20240501T120060Z",
                             "20240501T120000",
                             "20240501T120000Z ",
                             " 20240501",
                             "20240501T1200Z",
                             "2024050aT120000Z",
                             "20240501T12000aZ",
                             "20240501X120000Z",
                             "+2024050",
                             "20240501t120000z"}) {
        EXPECT_EQ(parseRRuleUntil(text), std::nullopt) << text;
    }
}

}  // namespace
}  // namespace ravu

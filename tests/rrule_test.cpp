// RRULE text to the store's rule: the subset, its defaults and its quiet refusals.
#include <gtest/gtest.h>

#include "apply/rrule.h"
#include "convert/time.h"

namespace ravu {
namespace {

using enum Weekday;
using enum Frequency;

RecurrenceRule rule(Frequency frequency, std::int64_t interval = 1, std::vector<Weekday> days = {},
                    std::optional<RecurrenceEnd> end = std::nullopt) {
    return RecurrenceRule{frequency, interval, std::move(days), std::move(end)};
}

Instant utc(std::string_view text) {
    return parseISO(text).value();
}

TEST(EkRecurrence, ReadsTheSubset) {
    const Instant noon = utc("2024-05-01T12:00:00Z");
    const std::vector<std::pair<const char*, RecurrenceRule>> cases{
        {"rrule:Freq=Weekly;ByDay=Mo,We,Fr", rule(weekly, 1, {monday, wednesday, friday})},
        {"FREQ=DAILY;FREQ=YEARLY;BYMONTH=3;WKST=SU", rule(yearly)},
        {"FREQ=MONTHLY;BYMONTHDAY=", rule(monthly)},  // a key without a value counts for nothing
        {"FREQ=DAILY;INTERVAL=0", rule(daily)},
        {"FREQ=DAILY;INTERVAL=x", rule(daily)},
        {"FREQ=DAILY;INTERVAL=+3", rule(daily, 3)},
        {"FREQ=WEEKLY;BYDAY=MO,XX,TU", rule(weekly, 1, {monday, tuesday})},
        {"FREQ=WEEKLY;BYDAY=\u017FU,M\u00E9", rule(weekly, 1, {sunday})},  // long s is S
        {"FREQ=DAILY;COUNT=5;UNTIL=20240501T120000Z", rule(daily, 1, {}, OccurrenceCount{5})},
        // A count the store cannot write is kept, so that the save fails instead of repeating
        // for ever.
        {"FREQ=DAILY;UNTIL=20240501T120000Z;COUNT=0", rule(daily, 1, {}, OccurrenceCount{0})},
        {"FREQ=DAILY;COUNT=five;UNTIL=20240501T120000Z", rule(daily, 1, {}, noon)},
        {"FREQ=DAILY;UNTIL=20240501", rule(daily, 1, {}, utc("2024-05-01T00:00:00Z"))},
        {"FREQ=DAILY;UNTIL=2024-05-01", rule(daily)},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(ekRecurrence(text), expected) << text;
    }
}

TEST(EkRecurrence, RefusesWhatTheSubsetCannotSay) {
    for (const char* text : {"", "RRULE:", "INTERVAL=2", "FREQ=HOURLY", "FREQ=DAILY ;COUNT=2",
                             "FREQ=MONTHLY;BYDAY=-1FR", "FREQ=MONTHLY;BYDAY=MO,2TU",
                             "FREQ=MONTHLY;BYMONTHDAY=15", "FREQ=MONTHLY;BYSETPOS=-1;BYDAY=FR",
                             "FREQ=WEEKLY;BYDAY=\u00DFU",  // SSU: an ordinal once upper-cased
                             "RRRULE:ULE:FREQ=DAILY"}) {
        EXPECT_EQ(ekRecurrence(text), std::nullopt) << text;
    }
}

TEST(ParseRRuleUntil, OnlyTheTwoExactForms) {
    EXPECT_EQ(parseRRuleUntil("19691231T235959Z"), utc("1969-12-31T23:59:59Z"));
    EXPECT_EQ(parseRRuleUntil("20240229"), utc("2024-02-29T00:00:00Z"));
    for (const char* text : {"20230229", "20240501T240000Z", "20240501T120000", "20240501T1200Z",
                             "20240501T120000Z ", "+2024050", "20240501t120000z"}) {
        EXPECT_EQ(parseRRuleUntil(text), std::nullopt) << text;
    }
}

}  // namespace
}  // namespace ravu

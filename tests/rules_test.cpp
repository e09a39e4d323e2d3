// No repetition rule a file can hold hangs a run: every frequency with every BY part, alone and
// in the pairs that can fail to match, is expanded over a snapshot window in a child process
// that must finish in time. Values are the rarest ones that exist, and some that never match.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "store/ical/item.h"
#include "tests/support/instants.h"

namespace ravu::testing {
namespace {

const char* const frequencies[] = {"SECONDLY", "MINUTELY", "HOURLY", "DAILY",
                                   "WEEKLY",   "MONTHLY",  "YEARLY"};

const char* const parts[] = {
    "BYSECOND=59",
    "BYMINUTE=59",
    "BYHOUR=23",
    "BYDAY=MO",
    "BYDAY=5MO",
    "BYMONTHDAY=31",
    "BYMONTHDAY=-31",
    "BYYEARDAY=366",
    "BYWEEKNO=53",
    "BYMONTH=2",
    "BYSETPOS=-1;BYDAY=MO,TU",
    // Pairs that match once in years, or never.
    "BYMONTH=2;BYMONTHDAY=29",
    "BYMONTH=2;BYMONTHDAY=30",
    "BYMONTH=4;BYMONTHDAY=31",
    "BYMONTHDAY=29;BYDAY=MO;BYMONTH=2",
    "BYMONTHDAY=13;BYDAY=FR",
    "BYHOUR=25",
    "BYYEARDAY=60;BYMONTH=3",
    "BYWEEKNO=1;BYMONTH=12",
    "INTERVAL=7;BYDAY=TU",
    "INTERVAL=12;BYMONTHDAY=31",
    "INTERVAL=24;BYHOUR=3",
    "INTERVAL=4;BYMONTH=2;BYMONTHDAY=29",
};

/// Whether expanding an item with the rule over a window finishes within `seconds`.
bool finishes(const std::string& rule, unsigned seconds) {
    const pid_t child = fork();
    if (child == 0) {
        alarm(seconds);
        const std::string text =
            "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//test//EN\r\nBEGIN:VEVENT\r\nUID:r\r\n"
            "DTSTART:20190101T100000\r\nRRULE:" +
            rule + "\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n";
        const auto item = ical::Item::parse(text, {"s/c/r", "s/c", std::nullopt, "r"},
                                            zone("Europe/Berlin"), ical::Keep::model);
        std::vector<Event> found;
        if (item) {
            item->occurrences(at("2026-11-07T00:00:00Z"), at("2028-01-11T00:00:00Z"), found);
        }
        _exit(item ? 0 : 2);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(Rules, EveryRuleAFileCanHoldFinishes) {
    for (const char* frequency : frequencies) {
        for (const char* part : parts) {
            const std::string rule = std::string{"FREQ="} + frequency + ";" + part;
            EXPECT_TRUE(finishes(rule, 20)) << rule;
        }
    }
}

}  // namespace
}  // namespace ravu::testing

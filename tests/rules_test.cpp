// No repetition rule a file can hold hangs a run: every frequency with every line of
// tests/cases/rules.txt (each BY part, alone and in the pairs that can fail to match; values the
// rarest that exist, and some that never match) is expanded over a snapshot window in a child
// process that must finish in time.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <sstream>

#include "store/ical/item.h"
#include "tests/support/instants.h"
#include "tests/support/process.h"

namespace ravu::testing {
namespace {

const char* const frequencies[] = {"SECONDLY", "MINUTELY", "HOURLY", "DAILY",
                                   "WEEKLY",   "MONTHLY",  "YEARLY"};

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
    std::istringstream parts{
        readFile(std::filesystem::path{RAVU_SOURCE_DIR} / "tests/cases/rules.txt")};
    for (std::string part; std::getline(parts, part);) {
        for (const char* frequency : frequencies) {
            const std::string rule = std::string{"FREQ="} + frequency + ";" + part;
            EXPECT_TRUE(finishes(rule, 20)) << rule;
        }
    }
}

}  // namespace
}  // namespace ravu::testing

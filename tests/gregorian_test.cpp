// The fast paths against libical's iterator, which they stand in for: every rule the Gregorian
// path (or the clock path, for a sub-daily rule libical also takes) steps must give the
// occurrences libical's iterator gives, over windows at DTSTART and far past it (where the paths
// jump ahead), with the store's own rule rewrites and limits on both; libical's weeks are
// counted as RFC 5545 counts them on both. The rules are generated from a fixed seed (every shape
// the path takes, with intervals, COUNT, UNTIL, weekday lists and WKST, from month ends, February
// 29 and days of clock changes, all-day, UTC, zoned and floating), are the lines of
// tests/cases/rules.txt under each frequency, and are those of every real-world and hostile item
// file of the store and golden cases. No rule a file can hold hangs a run either: each line of
// rules.txt is expanded under every frequency over a snapshot window in a child process that
// must finish in time. Last, the examples of RFC 5545 give the dates it lists, on both paths.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include <nlohmann/json.hpp>

#include "store/ical/item.h"
#include "tests/support/instants.h"
#include "tests/support/items.h"
#include "tests/support/process.h"

namespace ravu::testing {
namespace {

namespace fs = std::filesystem;
using date::days;
using date::local_days;
using ical::Engine;

const char* const zones[] = {"UTC", "Europe/Berlin", "America/New_York", "Australia/Lord_Howe"};
int mismatches = 0, unreadable = 0;  ///< of heldToLibical, for a child to report

std::string occurrencesOf(const ical::Item& item, Instant from, Instant to, Engine engine) {
    std::vector<Event> found;
    std::string text =
        item.occurrences(from, to, found, maxOccurrences, engine) ? "" : "cut short: ";
    for (const Event& event : found) {
        text += iso(*event.startDate) + "/" + iso(*event.endDate) + " ";
    }
    return text;
}

/// How many rules of the item the path takes, each checked against libical's iterator.
std::size_t heldToLibical(const std::string& text, const TimeZone& user) {
    const auto item =
        ical::Item::parse(text, {"s/c/r", "s/c", std::nullopt, "r"}, user, ical::Keep::model);
    unreadable += !item;
    std::vector<Event> found;  // no rule may hang a snapshot
    if (item) {
        item->occurrences(at("2026-11-07T00:00:00Z"), at("2028-01-11T00:00:00Z"), found);
    }
    if (!item || item->gregorianRules() == 0) {
        return 0;
    }
    const Instant start = *item->event().startDate;
    const Instant last = at("2582-11-01T00:00:00Z");
    for (const auto& [from, to] : {std::pair{start - days{2}, start + days{40}},
                                   {start + days{300}, start + days{700}},
                                   {start + days{11000}, start + days{11400}},
                                   {start + days{99999}, start + days{100099}},
                                   {last, last + days{200}}}) {
        const std::string libical = occurrencesOf(*item, from, to, Engine::libicalOnly);
        const std::string path = occurrencesOf(*item, from, to, Engine::gregorianWhereTaken);
        EXPECT_EQ(path, libical) << text << "from " << iso(from);
        mismatches += path != libical;
    }
    return item->gregorianRules();
}

std::string itemText(const std::string& start, const std::string& rule) {
    return Item{"r"}.start(start).line("DURATION", "PT1H").rrule(rule).text();
}

/// A series of a shape the path takes, with a start the path finds hard.
std::string generatedSeries(std::mt19937& random) {
    const auto below = [&](unsigned n) { return static_cast<int>(random() % n); };
    const auto pick = [&](std::initializer_list<const char*> words) {
        return std::string{words.begin()[below(static_cast<unsigned>(words.size()))]};
    };
    const date::year year{below(4) == 0 ? 1583 + below(1000) : 1995 + below(40)};
    const date::month month{1U + static_cast<unsigned>(below(12))};
    local_days day{year / month / (1 + below(28))};
    // Month ends, February 29 mostly, and clock changes in Europe and North America.
    if (const int kind = below(4), spring = kind == 2 ? below(2) : 0; kind == 0) {
        day = local_days{year / month / date::last};
    } else if (kind == 1) {
        day = local_days{(year - date::years{static_cast<int>(year) % 4}) / 2 / date::last};
    } else if (kind == 2) {
        day = below(2) == 0 ? local_days{year / (spring ? 3 : 10) / date::Sunday[date::last]}
                            : local_days{year / (spring ? 3 : 11) / date::Sunday[2 - spring]};
    }
    const int form = below(4);
    std::string start = date::format("%Y%m%d", day);
    start += form == 0 ? "" : "T" + pick({"023000", "013000", "000000", "235959", "093000"});
    start = form == 0 ? ";VALUE=DATE:" + start
            : form == 2
                ? ";TZID=" + pick({"Europe/Berlin", "America/New_York", "Australia/Lord_Howe"}) +
                      ":" + start
                : ":" + start + (form == 1 ? "Z" : "");

    const std::string frequency = pick({"DAILY", "WEEKLY", "MONTHLY", "YEARLY"});
    std::string rule = "FREQ=" + frequency;
    if (below(2) == 0) {
        rule += ";INTERVAL=" + pick({"2", "3", "5", "7", "12", "13", "52", "100", "400"});
    }
    const char* const weekdays[] = {"SU", "MO", "TU", "WE", "TH", "FR", "SA"};
    std::string byDay;
    if (frequency == "WEEKLY" && below(4) > 0) {
        const int first = below(7);
        for (int i = 0; i < 7; ++i) {  // from a random weekday, each in or out
            byDay += below(2) == 0
                         ? std::string{below(5) == 0 ? "1" : ""} + weekdays[(first + i) % 7] + ","
                         : "";
        }
        rule += ";BYDAY=" + (byDay.empty() ? "MO" : byDay.substr(0, byDay.size() - 1));
        rule += below(2) == 0 ? ";WKST=" + std::string{weekdays[below(7)]} : "";
    } else if (frequency == "MONTHLY" && below(3) == 1) {
        rule += ";BYMONTHDAY=" + pick({"31", "-1", "30,-30", "29,1", "15", "31,-31,-3"});
    } else if (frequency == "MONTHLY" && below(2) == 0) {
        rule += ";BYDAY=" + pick({"-1", "5", "-5", "1", "4", "2"});
        rule += weekdays[below(7)];
        rule += pick({"", ",-2SA", ",TU"});
    }
    if (const int end = below(3); end == 1) {
        rule += ";COUNT=" + std::to_string(1 + below(below(4) == 0 ? 400 : 30));
    } else if (end == 2) {
        rule += ";UNTIL=" + date::format("%Y%m%d", day + days{below(3000)});
        rule += form == 0 ? "" : below(2) == 0 ? "T093000Z" : "T023000";
    }
    return itemText(start, rule);
}

TEST(Gregorian, GeneratedSeriesAsLibicalGivesThem) {
    std::mt19937 random{20261207};
    std::size_t taken = 0;
    constexpr std::size_t series = 1500;
    for (std::size_t i = 0; i < series; ++i) {
        taken += heldToLibical(generatedSeries(random), zone(zones[i % std::size(zones)]));
    }
    // A few leave the path, where libical cannot reach the days a rule names.
    EXPECT_GT(taken, series * 9 / 10);
}

/// The line of rules.txt under every frequency from two starts, in a child a hang alarm ends:
/// how many rules the path took, or -1 for a hang, a mismatch or a rule the store cannot read.
int takenInTime(const std::string& part) {
    if (fork() == 0) {
        alarm(60);
        mismatches = unreadable = 0;
        int taken = 0;
        for (const char* frequency :
             {"SECONDLY", "MINUTELY", "HOURLY", "DAILY", "WEEKLY", "MONTHLY", "YEARLY"}) {
            for (const char* start : {":20190131T100000", ";VALUE=DATE:20240229"}) {
                taken +=
                    heldToLibical(itemText(start, "FREQ=" + std::string{frequency} + ";" + part),
                                  zone("Europe/Berlin"));
            }
        }
        _exit(mismatches + unreadable > 0 ? 255 : taken);
    }
    int status = 0;
    wait(&status);
    return WIFEXITED(status) && WEXITSTATUS(status) < 255 ? WEXITSTATUS(status) : -1;
}

TEST(Gregorian, RulesAndStoreFilesFinishAsLibicalGivesThem) {
    std::size_t taken = 0;
    for (const std::string& part :
         linesOf(readFile(fs::path{RAVU_SOURCE_DIR} / "tests/cases/rules.txt"))) {
        const int inTime = takenInTime(part);
        EXPECT_GE(inTime, 0) << part << " hangs, is unreadable or differs from libical";
        taken += std::max(inTime, 0);
    }
    for (const char* folder : {"tests/store_cases", "tests/cases"}) {
        for (const auto& entry :
             fs::recursive_directory_iterator(fs::path{RAVU_SOURCE_DIR} / folder)) {
            for (const char* name : zones) {
                if (entry.path().extension() == ".ics") {
                    taken += heldToLibical(readFile(entry.path()), zone(name));
                }
            }
        }
    }
    EXPECT_GT(taken, 80U);
}

TEST(Recurrence, Rfc5545ExamplesGiveTheDatesTheRfcLists) {
    const auto cases = nlohmann::json::parse(
        readFile(fs::path{RAVU_SOURCE_DIR} / "tests/cases/rfc5545-rules.json"));
    const TimeZone& newYork = zone("America/New_York");
    // "19970902T090000" or "19970902" in New York.
    const auto wall = [&](const std::string& text) {
        const auto part = [&](std::size_t at, std::size_t size) {
            return at < text.size() ? std::stoi(text.substr(at, size)) : 0;
        };
        const date::local_days day{date::year{part(0, 4)} / part(4, 2) / part(6, 2)};
        const auto time = std::chrono::hours{part(9, 2)} + std::chrono::minutes{part(11, 2)} +
                          std::chrono::seconds{part(13, 2)};
        return fromLocal(date::local_time<std::chrono::microseconds>{day + time}, newYork);
    };
    for (const auto& example : cases["examples"]) {
        const std::string start = example["start"];
        Item text{"rfc"};
        text.start(";TZID=America/New_York:" + start).line("DURATION", "PT1H");
        for (const std::string line : example["lines"]) {
            text.line(line.substr(0, line.find_first_of(";:")),
                      line.substr(line.find_first_of(";:")));
        }
        const auto item = ical::Item::parse(text.text(), {"s/c/r", "s/c", std::nullopt, "r"},
                                            newYork, ical::Keep::model);
        ASSERT_TRUE(item) << example["why"];
        for (const Engine engine : {Engine::gregorianWhereTaken, Engine::libicalOnly}) {
            std::vector<Event> found;
            EXPECT_TRUE(item->occurrences(wall(start), wall(example["until"]), found,
                                          maxOccurrences, engine));
            std::vector<std::string> starts;
            for (const Event& event : found) {
                starts.push_back(date::format(
                    "%Y%m%dT%H%M%S",
                    date::floor<std::chrono::seconds>(localTime(*event.startDate, newYork))));
            }
            std::sort(starts.begin(), starts.end());
            EXPECT_EQ(starts, example["starts"].get<std::vector<std::string>>())
                << example["why"] << (engine == Engine::libicalOnly ? ", libical's path" : "");
        }
    }
}

}  // namespace
}  // namespace ravu::testing

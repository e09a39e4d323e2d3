// `calendars` and `snapshot` as the host runs them, against a directory store made on disk.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include <date/tz.h>
#include <nlohmann/json.hpp>

#include "tests/support/process.h"

namespace ravu::testing {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using date::days;
using date::sys_days;
using std::chrono::hours;

const std::string skipTeam = "ravu-calendar: skipping calendar with a duplicate identity: Team\n";

// The program reads the clock itself, so the store is laid out around the real today.
sys_days today() {
    return date::floor<days>(std::chrono::system_clock::now());
}

std::string utcStamp(date::sys_seconds instant) {
    return date::format("%Y%m%dT%H%M%SZ", instant);
}
std::string isoText(date::sys_seconds instant) {
    return date::format("%Y-%m-%dT%H:%M:%SZ", instant);
}

/// One VEVENT with the given properties and a UID made from the file name.
void writeEvent(const fs::path& file, const std::vector<std::string>& properties) {
    std::string text =
        "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//ravu-calendar tests//EN\r\nBEGIN:VEVENT\r\n";
    text += "UID:" + file.stem().string() + "@ravu.test\r\n";
    text += "DTSTAMP:20240101T000000Z\r\n";
    for (const std::string& property : properties) {
        text += property + "\r\n";
    }
    text += "END:VEVENT\r\nEND:VCALENDAR\r\n";
    writeFile(file, text);
}

/// A store with a personal source of two calendars (one read-only) and two sources that give
/// one calendar the same logical key.
struct DiskStore {
    TempDir dir;
    fs::path root = dir.path() / "store";
    sys_days day = today();

    DiskStore() {
        const fs::path personal = root / "personal";
        writeFile(personal / "displayname", "Personal\n");
        writeFile(personal / "type", "local\n");
        const fs::path main = personal / "main";
        writeFile(main / "displayname", "Main\n");
        writeFile(main / "color", "#1BADF8\n");
        writeEvent(main / "dentist.ics",
                   {"SUMMARY:Dentist", "LOCATION:Main Street 1",
                    "DTSTART:" + utcStamp(day + days{2} + hours{9}),
                    "DTEND:" + utcStamp(day + days{2} + hours{10}), "URL:ravu://item/item-1",
                    "LAST-MODIFIED:20240101T120000Z"});
        // The store reports the later of LAST-MODIFIED and the file's own time.
        fs::last_write_time(main / "dentist.ics",
                            fs::file_time_type::clock::from_sys(
                                date::sys_seconds{sys_days{date::year{2023} / 6 / 1}}));
        writeEvent(main / "standup.ics",
                   {"SUMMARY:Standup", "DTSTART:" + utcStamp(day + days{5} + hours{8}),
                    "DTEND:" + utcStamp(day + days{5} + hours{9}), "RRULE:FREQ=DAILY;COUNT=3"});
        writeEvent(
            main / "holiday.ics",
            {"SUMMARY:Holiday", "DTSTART;VALUE=DATE:" + date::format("%Y%m%d", day + days{3}),
             "DTEND;VALUE=DATE:" + date::format("%Y%m%d", day + days{4})});
        writeEvent(main / "floating.ics",
                   {"SUMMARY:Floating", "DTSTART:" + date::format("%Y%m%dT100000", day + days{10}),
                    "DTEND:" + date::format("%Y%m%dT110000", day + days{10})});
        writeEvent(main / "untitled.ics",
                   {"DTSTART:" + utcStamp(day + days{1} + hours{7}),
                    "DTEND:" + utcStamp(day + days{1} + hours{8}), "URL:ravu://items/item-2"});
        writeEvent(main / "blank.ics",
                   {"SUMMARY:", "LOCATION:", "DTSTART:" + utcStamp(day + days{1} + hours{12}),
                    "DTEND:" + utcStamp(day + days{1} + hours{13}), "URL:RAVU://item/item-3"});
        writeEvent(main / "long.ics", {"SUMMARY:Long", "DTSTART:" + utcStamp(day - days{40}),
                                       "DTEND:" + utcStamp(day - days{20})});
        writeEvent(main / "past.ics", {"SUMMARY:Past", "DTSTART:" + utcStamp(day - days{60}),
                                       "DTEND:" + utcStamp(day - days{50})});
        writeEvent(main / "far.ics", {"SUMMARY:Far", "DTSTART:" + utcStamp(day + days{500}),
                                      "DTEND:" + utcStamp(day + days{501})});

        const fs::path holidays = personal / "holidays";
        writeFile(holidays / "displayname", "Holidays\n");
        writeFile(holidays / "readonly", "");
        writeEvent(holidays / "fair.ics",
                   {"SUMMARY:Fair", "DTSTART:" + utcStamp(day + days{20} + hours{9}),
                    "DTEND:" + utcStamp(day + days{20} + hours{17})});

        for (const char* source : {"one", "two"}) {
            writeFile(root / source / "displayname", "Work\n");
            writeFile(root / source / "type", "caldav\n");
            writeFile(root / source / "team" / "displayname", "Team\n");
            writeEvent(root / source / "team" / "sync.ics",
                       {"SUMMARY:from " + std::string{source},
                        "DTSTART:" + utcStamp(day + days{4} + hours{14}),
                        "DTEND:" + utcStamp(day + days{4} + hours{15})});
        }
    }

    ProgramRun run(const std::vector<std::string>& args, const std::string& input = "",
                   const std::string& tz = "UTC") const {
        return runOnStore(root, args, input, tz);
    }
};

/// The one document a run printed, after checking that it printed exactly one line.
Json document(const ProgramRun& run) {
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(run.out.ends_with("\n")) << run.out;
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1) << run.out;
    return Json::parse(run.out, nullptr, false);
}

const Json* entryWithKey(const Json& calendars, std::string_view key) {
    for (const Json& entry : calendars.at("calendars")) {
        if (entry.at("logicalKey") == key) {
            return &entry;
        }
    }
    return nullptr;
}

std::vector<Json> recordsTitled(const Json& feed, std::string_view title) {
    std::vector<Json> found;
    std::copy_if(feed.begin(), feed.end(), std::back_inserter(found),
                 [&](const Json& record) { return record.value("title", "") == title; });
    return found;
}

TEST(CalendarsEndToEnd, ListsTheStoreOnePerKey) {
    DiskStore store;
    const auto run = store.run({"calendars"});
    const Json listed = document(run);
    EXPECT_EQ(run.err, skipTeam);
    ASSERT_EQ(listed.at("calendars").size(), 3u) << listed;

    const Json* main = entryWithKey(listed, "local|Personal|Main");
    ASSERT_TRUE(main) << listed;
    EXPECT_EQ(main->at("title"), "Main");
    EXPECT_EQ(main->at("sourceTitle"), "Personal");
    EXPECT_EQ(main->at("writable"), true);
    EXPECT_EQ(main->value("colorHex", ""), "#1BADF8");

    const Json* holidays = entryWithKey(listed, "local|Personal|Holidays");
    ASSERT_TRUE(holidays) << listed;
    EXPECT_EQ(holidays->at("writable"), false);
    EXPECT_FALSE(holidays->contains("colorHex"));

    // Of the two "Team" calendars the one with the smaller identifier stays: learn each one's
    // identifier by hiding the other, whatever form the store gives its identifiers.
    const Json* team = entryWithKey(listed, "caldav|Work|Team");
    ASSERT_TRUE(team) << listed;
    std::vector<std::string> alone;
    for (const auto& [shown, hidden] : {std::pair{"one", "two"}, std::pair{"two", "one"}}) {
        fs::rename(store.root / hidden, store.root / ("." + std::string{hidden}));
        const auto single = store.run({"calendars"});
        EXPECT_EQ(single.err, "");
        const Json listedAlone = document(single);
        const Json* entry = entryWithKey(listedAlone, "caldav|Work|Team");
        alone.push_back(entry ? entry->at("id").get<std::string>() : "");
        fs::rename(store.root / ("." + std::string{hidden}), store.root / hidden);
    }
    ASSERT_NE(alone[0], alone[1]);
    EXPECT_EQ(team->at("id"), std::min(alone[0], alone[1]));
}

TEST(SnapshotEndToEnd, ReportsTheEventsOfTheRequestedCalendars) {
    DiskStore store;
    const sys_days day = store.day;
    const auto run = store.run(
        {"snapshot"},
        R"({"logicalKeys":["local|Personal|Main","local|Personal|Holidays","caldav|Work|Team",)"
        R"("local|Personal|Gone","local|personal|main"]})");
    const Json result = document(run);
    EXPECT_EQ(run.err, skipTeam);
    ASSERT_EQ(result.size(), 1u) << result;
    const Json& feeds = result.at("feeds");
    ASSERT_EQ(feeds.size(), 3u) << feeds;
    ASSERT_TRUE(feeds.contains("local|Personal|Main") &&
                feeds.contains("local|Personal|Holidays") && feeds.contains("caldav|Work|Team"))
        << feeds;
    const Json& main = feeds["local|Personal|Main"];

    const auto dentist = recordsTitled(main, "Dentist");
    ASSERT_EQ(dentist.size(), 1u) << main;
    EXPECT_TRUE(dentist[0].value("uid", "") != "") << dentist[0];
    EXPECT_EQ(dentist[0], (Json{{"uid", dentist[0].at("uid")},
                                {"title", "Dentist"},
                                {"startsAt", isoText(day + days{2} + hours{9})},
                                {"endsAt", isoText(day + days{2} + hours{10})},
                                {"allDay", false},
                                {"location", "Main Street 1"},
                                {"lastModified", "2024-01-01T12:00:00Z"},
                                {"ravuItemId", "item-1"}}));

    const auto standups = recordsTitled(main, "Standup");
    ASSERT_EQ(standups.size(), 3u) << main;
    std::vector<std::string> starts;
    for (const Json& occurrence : standups) {
        EXPECT_EQ(occurrence.at("uid"), standups[0].at("uid"));
        starts.push_back(occurrence.at("startsAt"));
    }
    std::sort(starts.begin(), starts.end());
    EXPECT_EQ(starts, (std::vector<std::string>{isoText(day + days{5} + hours{8}),
                                                isoText(day + days{6} + hours{8}),
                                                isoText(day + days{7} + hours{8})}));
    EXPECT_NE(standups[0].at("uid"), dentist[0].at("uid"));

    const auto holiday = recordsTitled(main, "Holiday");
    ASSERT_EQ(holiday.size(), 1u) << main;
    EXPECT_EQ(holiday[0].at("allDay"), true);
    EXPECT_EQ(holiday[0].at("startsAt"), isoText(day + days{3}));
    // The store ends an all-day event on the last second of its last day.
    EXPECT_EQ(holiday[0].value("endsAt", ""), isoText(day + days{4} - std::chrono::seconds{1}));

    const auto floating = recordsTitled(main, "Floating");
    ASSERT_EQ(floating.size(), 1u) << main;
    EXPECT_EQ(floating[0].at("allDay"), false);
    EXPECT_EQ(floating[0].at("startsAt"), isoText(day + days{10} + hours{10}));

    const auto untitled = recordsTitled(main, "(untitled)");
    ASSERT_EQ(untitled.size(), 1u) << main;
    EXPECT_FALSE(untitled[0].contains("ravuItemId")) << "ravu://items/ is not the marker";
    const auto blank = recordsTitled(main, "");
    ASSERT_EQ(blank.size(), 1u) << main;
    EXPECT_FALSE(blank[0].contains("location")) << blank[0];
    EXPECT_FALSE(blank[0].contains("ravuItemId")) << "the marker is case-sensitive";

    const auto longOne = recordsTitled(main, "Long");
    ASSERT_EQ(longOne.size(), 1u) << "an event that ends inside the window is reported";
    EXPECT_EQ(longOne[0].at("startsAt"), isoText(day - days{40}));
    EXPECT_TRUE(recordsTitled(main, "Past").empty());
    EXPECT_TRUE(recordsTitled(main, "Far").empty());
    EXPECT_EQ(main.size(), 9u) << main;

    const Json& holidays = feeds.at("local|Personal|Holidays");
    ASSERT_EQ(holidays.size(), 1u) << holidays;
    EXPECT_EQ(holidays[0].at("title"), "Fair");

    // The events of the kept "Team" calendar only.
    const Json& team = feeds.at("caldav|Work|Team");
    ASSERT_EQ(team.size(), 1u) << team;
    EXPECT_TRUE(team[0].at("title") == "from one" || team[0].at("title") == "from two");
}

TEST(SnapshotEndToEnd, FloatingTimesAreTheUsersWallClock) {
    DiskStore store;
    const auto run =
        store.run({"snapshot"}, R"({"logicalKeys":["local|Personal|Main"]})", "Europe/Berlin");
    const Json result = document(run);
    ASSERT_TRUE(result.contains("feeds") && result["feeds"].contains("local|Personal|Main"))
        << result;
    const Json& main = result["feeds"]["local|Personal|Main"];
    const auto floating = recordsTitled(main, "Floating");
    ASSERT_EQ(floating.size(), 1u) << main;
    // 10:00 in Berlin is never skipped or repeated by a change of the clocks.
    const auto wall = date::local_days{(store.day + days{10}).time_since_epoch()} + hours{10};
    const auto instant = date::locate_zone("Europe/Berlin")->to_sys(wall);
    EXPECT_EQ(floating[0].at("startsAt"), date::format("%Y-%m-%dT%H:%M:%SZ", instant));
    // A time in UTC stays where it is.
    EXPECT_EQ(recordsTitled(main, "Dentist").at(0).at("startsAt"),
              isoText(store.day + days{2} + hours{9}));
}

TEST(SnapshotEndToEnd, RequestsAndAccessTheHostGetsWrong) {
    DiskStore store;
    for (const std::string input :
         {"", "not json", "[\"local|Personal|Main\"]",
          "{\"logicalKeys\":[\"local|Personal|Main\",1]}", "{\"logicalKeys\":[]}",
          "{\"logicalKeys\":\"local|Personal|Main\"}"}) {
        const auto run = store.run({"snapshot"}, input);
        EXPECT_EQ(run.out, "{\"feeds\":{}}\n") << input;
        EXPECT_EQ(run.err, "") << input;
        EXPECT_EQ(run.status, 0) << input;
    }

    // No store yet: no access, and nothing is made.
    const fs::path missing = store.dir.path() / "missing";
    const auto denied =
        runOnStore(missing, {"snapshot"}, R"({"logicalKeys":["local|Personal|Main"]})");
    EXPECT_EQ(document(denied), Json::parse(R"({"feeds":{},"noAccess":true})"));
    EXPECT_EQ(denied.err, "");
    EXPECT_EQ(document(runOnStore(missing, {"calendars"})), Json::parse(R"({"calendars":[]})"));
    EXPECT_FALSE(fs::exists(missing));
}

}  // namespace
}  // namespace ravu::testing

// `apply` as the host runs it, against a directory store on disk: the host's own events,
// occurrences of a series that khal wrote, the conflict test, and identifiers that point away.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>

#include <date/tz.h>
#include <nlohmann/json.hpp>

#include "tests/support/process.h"

namespace ravu::testing {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using date::days;
using date::local_days;
using date::sys_days;
using date::sys_seconds;
using std::chrono::hours;
using std::chrono::milliseconds;
using std::chrono::seconds;

const std::string mainKey = "local|Personal|Main";

// The program reads the clock itself, so events are laid out a week after the real today.
sys_days firstDay() {
    return date::floor<days>(std::chrono::system_clock::now()) + days{7};
}

std::string isoText(sys_seconds instant) {
    return date::format("%Y-%m-%dT%H:%M:%SZ", instant);
}

/// One item file holding one VEVENT with the given properties.
void writeEvent(const fs::path& file, const std::vector<std::string>& properties) {
    std::string text =
        "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//ravu tests//EN\r\n"
        "BEGIN:VEVENT\r\nUID:" +
        file.stem().string() + "\r\nDTSTAMP:20240101T000000Z\r\n";
    for (const std::string& property : properties) {
        text += property + "\r\n";
    }
    writeFile(file, text + "END:VEVENT\r\nEND:VCALENDAR\r\n");
}

void setFileTime(const fs::path& file, sys_seconds instant, milliseconds extra = {}) {
    fs::last_write_time(file, fs::file_time_type::clock::from_sys(instant + extra));
}

/// A store with one writable calendar, `mainKey`, at <root>/personal/main.
struct DiskStore {
    TempDir dir;
    fs::path root = dir.path() / "home" / "store";
    fs::path main = root / "personal" / "main";

    DiskStore() {
        writeFile(root / "personal" / "displayname", "Personal\n");
        writeFile(main / "displayname", "Main\n");
    }

    Json run(const std::string& word, const Json& request, const std::string& tz) const {
        const ProgramRun run = runOnStore(root, {word}, request.dump(), tz);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1) << run.out;
        return Json::parse(run.out, nullptr, false);
    }
    Json apply(const std::vector<Json>& pending, const std::string& tz = "UTC") const {
        return run("apply", {{"pending", pending}}, tz);
    }
    /// The records of the main calendar, ordered by start.
    std::vector<Json> feed(const std::string& tz = "UTC") const {
        const Json result = run("snapshot", {{"logicalKeys", {mainKey}}}, tz);
        EXPECT_TRUE(result.contains("feeds") && result["feeds"].contains(mainKey)) << result;
        auto records = result.value("feeds", Json::object())
                           .value(mainKey, Json::array())
                           .get<std::vector<Json>>();
        std::sort(records.begin(), records.end(), [](const Json& a, const Json& b) {
            return a.value("startsAt", "") < b.value("startsAt", "");
        });
        return records;
    }
};

/// khal over the main calendar, in a zone of its own.
struct Khal {
    fs::path home;
    std::string tz;

    Khal(const DiskStore& store, std::string zone) : home(store.dir.path()), tz(std::move(zone)) {
        writeFile(home / "khal.conf",
                  "[calendars]\n[[main]]\npath = " + store.main.string() +
                      "\n[locale]\ntimeformat = %H:%M\ndateformat = %Y-%m-%d\n"
                      "longdateformat = %Y-%m-%d\ndatetimeformat = %Y-%m-%d %H:%M\n"
                      "longdatetimeformat = %Y-%m-%d %H:%M\ndefault_timezone = " +
                      tz + "\nlocal_timezone = " + tz +
                      "\n[sqlite]\npath = " + (home / "khal.db").string() + "\n");
    }

    /// khal's standard output; a failure when khal fails.
    std::string run(const std::vector<std::string>& args) const {
        std::string command = "HOME='" + home.string() + "' TZ='" + tz + "' timeout 60 khal -c '" +
                              (home / "khal.conf").string() + "'";
        for (const std::string& arg : args) {
            command += " '" + arg + "'";
        }
        const fs::path output = home / "khal.out";
        const int status = std::system((command + " >'" + output.string() + "' 2>&1").c_str());
        const std::string out = readFile(output);
        EXPECT_EQ(status, 0) << command << "\n" << out;
        return out;
    }

    /// Every event of the days [from, to] once, as "start|end|title".
    std::set<std::string> list(local_days from, local_days to) const {
        std::set<std::string> lines;
        std::istringstream out{run({"list", "--format", "{start}|{end}|{title}", "--day-format", "",
                                    date::format("%F", from), date::format("%F", to)})};
        for (std::string line; std::getline(out, line);) {
            if (!line.empty()) {
                lines.insert(line);
            }
        }
        return lines;
    }
};

bool khalMissing() {
    return std::system("command -v khal >/dev/null 2>&1") != 0;
}

Json external(const std::string& op, const Json& record, Json fields = Json::object()) {
    fields["op"] = op;
    fields["eventkitEventId"] = record.at("uid");
    fields["baseLastModified"] = record.at("lastModified");
    fields.emplace("occurrenceStart", record.at("startsAt"));
    return fields;
}

Json status(const std::string& uid, const std::string& start, const std::string& word) {
    Json result{{"uid", uid}, {"occurrenceStart", start}, {"status", word}};
    if (word == "permanentError") {
        result["error"] = "occurrence no longer on device";
    }
    return result;
}

TEST(ApplyEndToEnd, HostItemsAreCreatedUpdatedAndDeleted) {
    DiskStore store;
    const sys_days day = firstDay();
    const Json create = {{"op", "create"},
                         {"itemId", "dentist"},
                         {"logicalKey", mainKey},
                         {"title", "Dentist"},
                         {"startsAt", isoText(day + hours{9})},
                         {"endsAt", isoText(day + hours{10})}};
    // A create sent again, in the same queue and in a later run, finds the event it made.
    const Json first = store.apply({create, create}, "Europe/Berlin");
    ASSERT_EQ(first["writes"].size(), 2u) << first;
    const std::string id = first["writes"][0].value("eventkitEventId", "");
    ASSERT_FALSE(id.empty()) << first;
    const Json applied = {{"itemId", "dentist"}, {"eventkitEventId", id}, {"status", "applied"}};
    EXPECT_EQ(first["writes"], Json::array({applied, applied}));
    EXPECT_EQ(store.apply({create})["writes"], Json::array({applied}));
    auto records = store.feed();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0], (Json{{"uid", id},
                                {"title", "Dentist"},
                                {"startsAt", isoText(day + hours{9})},
                                {"endsAt", isoText(day + hours{10})},
                                {"allDay", false},
                                {"lastModified", records[0].at("lastModified")},
                                {"ravuItemId", "dentist"}}));

    // A rule set and cleared again; an empty item id keeps the marker, another one replaces it.
    Json update = {{"op", "update"},
                   {"eventkitEventId", id},
                   {"itemId", ""},
                   {"title", "Checkup"},
                   {"startsAt", isoText(day + hours{14})},
                   {"endsAt", isoText(day + hours{15})},
                   {"recurrenceRule", "FREQ=WEEKLY;COUNT=3"}};
    const Json updated = store.apply({update}, "America/New_York");
    EXPECT_EQ(updated["writes"],
              Json::array({{{"itemId", ""}, {"eventkitEventId", id}, {"status", "applied"}}}));
    records = store.feed();
    ASSERT_EQ(records.size(), 3u);
    for (int week = 0; week < 3; ++week) {
        EXPECT_EQ(records[week].value("startsAt", ""), isoText(day + days{7 * week} + hours{14}));
        EXPECT_EQ(records[week].value("title", ""), "Checkup");
        EXPECT_EQ(records[week].value("ravuItemId", ""), "dentist");
        EXPECT_EQ(records[week].value("uid", ""), id);
    }
    update.erase("recurrenceRule");
    update["itemId"] = "dentist-2";
    update["allDay"] = true;
    update["startsAt"] = isoText(day + days{1});
    update["endsAt"] = isoText(day + days{2});
    store.apply({update});
    records = store.feed();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].value("allDay", false), true);
    EXPECT_EQ(records[0].value("startsAt", ""), isoText(day + days{1}));
    EXPECT_EQ(records[0].value("ravuItemId", ""), "dentist-2");

    const std::string gone = "personal/main/never-was";
    update["eventkitEventId"] = gone;
    const Json deleted = store.apply({update,
                                      {{"op", "delete"}, {"eventkitEventId", id}},
                                      {{"op", "delete"}, {"eventkitEventId", gone}},
                                      {{"op", "delete"}, {"eventkitEventId", id}}});
    EXPECT_EQ(deleted, (Json{{"writes",
                              {{{"itemId", "dentist-2"},
                                {"eventkitEventId", ""},
                                {"status", "permanentError"},
                                {"error", "event no longer on device"}}}},
                             {"deletes", {id, gone, id}},
                             {"external", Json::array()}}));
    EXPECT_TRUE(store.feed().empty());
    EXPECT_TRUE(std::none_of(fs::directory_iterator(store.main), fs::directory_iterator{},
                             [](const auto& entry) { return entry.path().extension() == ".ics"; }));
}

TEST(ApplyEndToEnd, OneQueueEditsAKhalSeriesWithoutConflictingWithItself) {
    if (khalMissing()) {
        GTEST_SKIP() << "khal is not installed";
    }
    DiskStore store;
    const std::string tz = "Europe/Berlin";
    const Khal khal{store, tz};
    const local_days day{firstDay().time_since_epoch()};
    khal.run({"new", "-a", "main", "-r", "weekly", "-u", date::format("%F", day + days{22}),
              date::format("%F", day), "09:00", "10:00", "Standup"});
    const auto series = store.feed(tz);
    ASSERT_EQ(series.size(), 4u);
    const std::string uid = series[0].at("uid");

    // Every entry carries the base the snapshot reported, though the entries before it have
    // rewritten the file by then.
    const auto berlin = [&](local_days on, int hour) {
        return date::locate_zone(tz)->to_sys(date::local_seconds{on} + hours{hour});
    };
    ASSERT_EQ(series[1].value("startsAt", ""), isoText(berlin(day + days{7}, 9)));
    const sys_seconds moved = berlin(day + days{7}, 11);
    const Json edit = external("updateExternal", series[1],
                               {{"title", "Standup moved"},
                                {"location", "Room 2"},
                                {"startsAt", isoText(moved)},
                                {"endsAt", isoText(moved + hours{1})}});
    const Json result = store.apply(
        {external("deleteExternal", series[0]), edit, external("deleteExternal", series[2])}, tz);
    EXPECT_EQ(result["external"], Json::array({status(uid, series[0].at("startsAt"), "applied"),
                                               status(uid, series[1].at("startsAt"), "applied"),
                                               status(uid, series[2].at("startsAt"), "applied")}));

    // Exactly the edited occurrence and the one nobody touched are left.
    auto after = store.feed(tz);
    ASSERT_EQ(after.size(), 2u);
    Json untouched = series[3];
    for (Json* record : {&after[0], &after[1], &untouched}) {
        record->erase("lastModified");
    }
    EXPECT_EQ(after[0], (Json{{"uid", uid},
                              {"title", "Standup moved"},
                              {"location", "Room 2"},
                              {"startsAt", isoText(moved)},
                              {"endsAt", isoText(moved + hours{1})},
                              {"allDay", false}}));
    EXPECT_EQ(after[1], untouched);

    const auto wall = [](local_days on, int hour) {
        return date::format("%F %H:%M", date::local_seconds{on} + hours{hour});
    };
    EXPECT_EQ(khal.list(day - days{1}, day + days{22}),
              (std::set<std::string>{
                  wall(day + days{7}, 11) + "|" + wall(day + days{7}, 12) + "|Standup moved",
                  wall(day + days{21}, 9) + "|" + wall(day + days{21}, 10) + "|Standup"}));
}

TEST(ApplyEndToEnd, AllDayOccurrencesAreFoundByTheirDay) {
    if (khalMissing()) {
        GTEST_SKIP() << "khal is not installed";
    }
    DiskStore store;
    const Khal khal{store, "America/New_York"};
    const local_days day{firstDay().time_since_epoch()};
    // khal 0.10 cannot make a repeating all-day event with `new`; it imports one.
    const fs::path offsite = store.dir.path() / "offsite.ics";
    writeEvent(offsite, {"SUMMARY:Offsite", "DTSTART;VALUE=DATE:" + date::format("%Y%m%d", day),
                         "DTEND;VALUE=DATE:" + date::format("%Y%m%d", day + days{1}),
                         "RRULE:FREQ=WEEKLY;COUNT=4"});
    khal.run({"import", "--batch", "-a", "main", offsite.string()});
    const auto utcMidnight = [&](int week) {
        return isoText(sys_days{(day + days{7 * week}).time_since_epoch()});
    };

    // West of UTC the UTC midnight of a day is the evening before: only the all-day look-up
    // finds the occurrence by it. A local start takes the timed look-up, which finds it too.
    const auto newYork = store.feed(khal.tz);
    ASSERT_EQ(newYork.size(), 4u);
    const std::string uid = newYork[0].at("uid");
    Json result = store.apply(
        {external("updateExternal", newYork[0],
                  {{"title", "Offsite A"}, {"allDay", true}, {"occurrenceStart", utcMidnight(0)}}),
         external("deleteExternal", newYork[1], {{"allDay", true}}),
         external("deleteExternal", newYork[2],
                  {{"allDay", false}, {"occurrenceStart", utcMidnight(2)}})},
        khal.tz);
    EXPECT_EQ(result["external"], Json::array({status(uid, utcMidnight(0), "applied"),
                                               status(uid, newYork[1].at("startsAt"), "applied"),
                                               status(uid, utcMidnight(2), "permanentError")}));

    // East of UTC the local start lies on the UTC day before; the timed look-up still finds it.
    const auto berlin = store.feed("Europe/Berlin");
    ASSERT_EQ(berlin.size(), 3u);
    result = store.apply(
        {external("deleteExternal", berlin[1],
                  {{"allDay", true}, {"occurrenceStart", utcMidnight(2)}}),
         external("updateExternal", berlin[2], {{"title", "Offsite D"}, {"allDay", true}})},
        "Europe/Berlin");
    EXPECT_EQ(result["external"], Json::array({status(uid, utcMidnight(2), "applied"),
                                               status(uid, berlin[2].at("startsAt"), "applied")}));

    const auto after = store.feed(khal.tz);
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after[0].value("title", ""), "Offsite A");
    EXPECT_EQ(after[0].value("startsAt", ""), newYork[0].at("startsAt"));
    EXPECT_EQ(after[1].value("title", ""), "Offsite D");
    EXPECT_EQ(after[1].value("startsAt", ""), newYork[3].at("startsAt"));
    for (const Json& record : after) {
        EXPECT_EQ(record.value("allDay", false), true) << record;
    }
    const std::string first = date::format("%F", day);
    const std::string last = date::format("%F", day + days{21});
    EXPECT_EQ(khal.list(day - days{1}, day + days{22}),
              (std::set<std::string>{first + "|" + first + "|Offsite A",
                                     last + "|" + last + "|Offsite D"}));
}

TEST(ApplyEndToEnd, ConflictsAreChangesMoreThanASecondAfterTheBase) {
    struct Case {
        std::string name;
        bool touchesFile;  ///< moves the file's time; otherwise LAST-MODIFIED
        milliseconds later;
        bool sendsBase;
        std::string op;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"file1s", true, milliseconds{1000}, true, "deleteExternal", "applied"},
        {"file1500ms", true, milliseconds{1500}, true, "updateExternal", "conflict"},
        {"file2s", true, milliseconds{2000}, true, "deleteExternal", "conflict"},
        {"stamp1s", false, milliseconds{1000}, true, "updateExternal", "applied"},
        {"stamp2s", false, milliseconds{2000}, true, "updateExternal", "conflict"},
        {"nobase", true, milliseconds{2000}, false, "deleteExternal", "applied"},
    };
    DiskStore store;
    const sys_days day = firstDay();
    const sys_seconds base = sys_days{date::year{2024} / 1 / 1} + hours{12};
    const auto write = [&](const Case& c, int index, sys_seconds stamp) {
        const fs::path file = store.main / (c.name + ".ics");
        writeEvent(file, {"SUMMARY:" + c.name,
                          "DTSTART:" + date::format("%Y%m%dT%H%M%SZ", day + hours{index}),
                          "DURATION:PT30M", "RRULE:FREQ=DAILY;COUNT=3",
                          "LAST-MODIFIED:" + date::format("%Y%m%dT%H%M%SZ", stamp)});
        setFileTime(file, base);
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        write(cases[i], static_cast<int>(i), base);
    }
    const auto seen = store.feed();
    std::vector<Json> pending;
    Json expected = Json::array();
    std::vector<std::string> textBefore;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        const Json& second = seen.at(cases.size() + i);  // day 2, in the order the files start
        ASSERT_EQ(second.value("title", ""), c.name);
        ASSERT_EQ(second.value("lastModified", ""), isoText(base));
        if (c.touchesFile) {
            setFileTime(store.main / (c.name + ".ics"), base, c.later);
        } else {
            write(c, static_cast<int>(i), base + date::floor<seconds>(c.later));
        }
        textBefore.push_back(readFile(store.main / (c.name + ".ics")));
        Json entry = external(c.op, second, {{"title", c.name + " edited"}});
        if (!c.sendsBase) {
            entry.erase("baseLastModified");
        }
        pending.push_back(entry);
        expected.push_back(status(second.at("uid"), second.at("startsAt"), c.expected));
    }
    EXPECT_EQ(store.apply(pending)["external"], expected);

    for (std::size_t i = 0; i < cases.size(); ++i) {
        const bool untouched = readFile(store.main / (cases[i].name + ".ics")) == textBefore[i];
        EXPECT_EQ(untouched, cases[i].expected == "conflict") << cases[i].name;
    }
}

TEST(ApplyEndToEnd, IdentifiersThatLeaveTheStoreFindNothing) {
    DiskStore store;
    const sys_days day = firstDay();
    const std::vector<std::string> event = {"SUMMARY:Keep",
                                            "DTSTART:" + date::format("%Y%m%dT090000Z", day),
                                            "DTEND:" + date::format("%Y%m%dT100000Z", day)};
    // Beside the store, and inside it where no identifier may lead.
    writeEvent(store.dir.path() / "x.ics", event);
    writeEvent(store.dir.path() / "abs" / "cal" / "item.ics", event);
    writeEvent(store.root / "a" / "b" / "visible.ics", event);
    writeEvent(store.root / "a" / "b" / ".hidden.ics", event);
    writeEvent(store.root / "a" / "b" / "c" / "d.ics", event);
    const auto files = [&] {
        std::map<fs::path, std::string> all;
        for (const auto& entry : fs::recursive_directory_iterator(store.dir.path())) {
            // The store's own lock file is no change.
            const bool lock = entry.path().parent_path() == store.root &&
                              entry.path().filename().string().starts_with(".");
            if (entry.is_regular_file() && !lock) {
                all[entry.path()] = readFile(entry.path());
            }
        }
        return all;
    };
    const auto before = files();
    const std::string passwd = readFile("/etc/passwd");

    std::vector<std::string> ids = {
        "../../x", "a/b/.hidden", "/etc/passwd", "a/b/c/d", "a/b/../../../x", "a/b/visible/", ""};
    ids.push_back((store.dir.path() / "abs/cal/item").string());
    std::vector<Json> pending;
    Json writes = Json::array();
    Json externals = Json::array();
    for (const std::string& id : ids) {
        const Json fields = {{"eventkitEventId", id},
                             {"title", "Taken"},
                             {"occurrenceStart", isoText(day + hours{9})}};
        for (const char* op : {"update", "delete", "updateExternal", "deleteExternal"}) {
            Json entry = fields;
            entry["op"] = op;
            pending.push_back(entry);
        }
        writes.push_back({{"itemId", ""},
                          {"eventkitEventId", ""},
                          {"status", "permanentError"},
                          {"error", "event no longer on device"}});
        externals.push_back(status(id, isoText(day + hours{9}), "permanentError"));
        externals.push_back(externals.back());
    }
    EXPECT_EQ(store.apply(pending),
              (Json{{"writes", writes}, {"deletes", ids}, {"external", externals}}));
    EXPECT_EQ(files(), before);
    EXPECT_EQ(readFile("/etc/passwd"), passwd);
}

}  // namespace
}  // namespace ravu::testing

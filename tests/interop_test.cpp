// The store next to the tools our users already run on the same calendars: khal reading what
// the program wrote and the other way round, and a CalDAV round trip through vdirsyncer and
// Radicale into an empty store. A test skips itself only when a tool is not installed.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <set>
#include <sstream>
#include <thread>

#include <date/tz.h>
#include <nlohmann/json.hpp>

#include "convert/time.h"
#include "tests/support/akonadi_bus.h"
#include "tests/support/evolution_bus.h"
#include "tests/support/items.h"
#include "tests/support/process.h"

namespace ravu::testing {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using date::days;
using date::local_days;
using namespace std::chrono_literals;

std::string dayText(local_days day) {
    return date::format("%Y-%m-%d", day);
}

/// A Monday at least three days from now whose week has a change of the clocks in `zone`
/// before the next Monday: a weekly series from it keeps its wall-clock time only when it is
/// written in the user's zone.
local_days mondayBeforeClockChange(const date::time_zone& zone) {
    const auto change = zone.get_info(date::floor<std::chrono::seconds>(
                                          std::chrono::system_clock::now() + days{10}))
                            .end;
    const local_days day = date::floor<days>(zone.to_local(change));
    const auto sinceMonday = (date::weekday{day} - date::Monday).count();
    return day - days{sinceMonday == 0 ? 7 : sinceMonday};
}

/// A record of a snapshot as khal lists it: times for a timed event, days for an all-day one.
std::string khalLine(const Json& record, const date::time_zone& zone) {
    const bool allDay = record.value("allDay", false);
    const auto local = [&](const char* field) {
        const Instant instant = parseISO(record.value(field, "")).value_or(Instant{});
        return date::format(allDay ? "%Y-%m-%d" : "%Y-%m-%d %H:%M",
                            date::floor<std::chrono::minutes>(zone.to_local(instant)));
    };
    return local("startsAt") + "|" + local("endsAt") + "|" + record.value("title", "") + "|" +
           (allDay ? "True" : "False");
}

TEST(PeerInterop, KhalAndTheProgramShowTheSameEvents) {
    if (!onPath("khal")) {
        GTEST_SKIP() << "khal is needed (scripts/setup.sh installs it)";
    }
    TempDir dir;
    const fs::path root = dir.path() / "store";
    const std::string tz = "America/New_York", key = "local|local|Calendar";
    const date::time_zone& zone = *date::locate_zone(tz);
    ASSERT_EQ(runOnStore(root, {"permission"}).out, "{\"granted\":true}\n");
    const Khal khal{dir.path(), root / "local/calendar", tz};
    const local_days monday = mondayBeforeClockChange(zone);

    // Written by the program. All-day days come as UTC midnights with an exclusive end, or as a
    // snapshot reports them; a series crosses the change of the clocks.
    const auto local = [&](local_days day, std::chrono::seconds time) {
        return date::format("%FT%TZ", zone.to_sys(date::local_seconds{day} + time));
    };
    const auto entry = [&](const char* title, std::string start, std::string end, bool allDay) {
        return Json{{"op", "create"},   {"itemId", title},   {"logicalKey", key}, {"title", title},
                    {"allDay", allDay}, {"startsAt", start}, {"endsAt", end}};
    };
    Json standup = entry("Standup", local(monday, 20h + 30min), local(monday, 21h), false);
    standup["recurrenceRule"] = "FREQ=WEEKLY;BYDAY=MO,WE;COUNT=4";
    const Json pending = {
        entry("Offsite",
              date::format("%FT%TZ", date::sys_days{(monday + days{3}).time_since_epoch()}),
              date::format("%FT%TZ", date::sys_days{(monday + days{5}).time_since_epoch()}), true),
        entry("Retreat", local(monday + days{5}, 0s), local(monday + days{7}, -1s), true), standup};
    const Json applied =
        documentOf(runOnStore(root, {"apply"}, Json{{"pending", pending}}.dump(), tz));
    EXPECT_EQ(applied["writes"].size(), 3u) << applied;
    // Written by khal, one in a zone of its own.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"new", dayText(monday + days{1}), "10:00", "11:30", "Planning"},
          {"new", dayText(monday + days{2}), "09:00", "10:00", "Europe/Berlin", "Call Berlin"},
          {"new", "-r", "weekly", "-u", dayText(monday + days{8}), dayText(monday), "08:30",
           "09:00", "Review"}}) {
        const ProgramRun made = khal.run(args);
        ASSERT_EQ(made.status, 0) << made.err;
    }

    const auto shown = khal.list(dayText(monday - days{1}), dayText(monday + days{20}));
    std::set<std::string> fromSnapshot;
    const Json feeds = documentOf(
        runOnStore(root, {"snapshot"}, Json{{"logicalKeys", {key}}}.dump(), tz))["feeds"];
    for (const Json& record : feeds[key]) {
        fromSnapshot.insert(khalLine(record, zone));
    }
    EXPECT_EQ(fromSnapshot, shown);
    const auto timed = [&](local_days day, const char* from, const char* to, const char* title) {
        return dayText(day) + " " + from + "|" + dayText(day) + " " + to + "|" + title + "|False";
    };
    for (const std::string& line :
         {dayText(monday + days{3}) + "|" + dayText(monday + days{4}) + "|Offsite|True",
          dayText(monday + days{5}) + "|" + dayText(monday + days{6}) + "|Retreat|True",
          timed(monday + days{9}, "20:30", "21:00", "Standup")}) {
        EXPECT_TRUE(shown.contains(line)) << line << "\n" << ::testing::PrintToString(shown);
    }
    EXPECT_EQ(shown.size(), 10u) << "offsite, retreat, four standups, planning, call, two reviews";
}

/// Whether something listens on the port of 127.0.0.1; with `port` 0, a port that was free.
int probe(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    auto* any = reinterpret_cast<sockaddr*>(&address);
    socklen_t length = sizeof address;
    int result = 0;
    if (port != 0) {
        result = ::connect(fd, any, length) == 0 ? port : 0;
    } else if (::bind(fd, any, length) == 0 && ::getsockname(fd, any, &length) == 0) {
        result = ntohs(address.sin_port);
    }
    ::close(fd);
    return result;
}

TEST(PeerInterop, VdirsyncerThroughRadicaleIntoAnEmptyStore) {
    const std::string python = "/usr/bin/python3";  // Debian's, which has Radicale
    if (!onPath("vdirsyncer") || runTool({python, "-c", "import radicale"}).status != 0) {
        GTEST_SKIP() << "Radicale and vdirsyncer are needed (scripts/setup.sh installs them)";
    }
    TempDir dir;
    const fs::path source = dir.path() / "source/personal/home", mirror = dir.path() / "mirror";
    writeFile(mirror / "radicale/displayname", "Radicale\n");
    writeFile(mirror / "radicale/type", "caldav\n");
    // A calendar with a title and a colour; a timed event, an all-day one, and a series in
    // another zone with an exception and an override, all a few days from now.
    const auto today = date::floor<days>(std::chrono::system_clock::now());
    for (const auto& file :
         fs::directory_iterator(fs::path{RAVU_SOURCE_DIR} / "tests/store_cases/sync")) {
        const auto day = [&](int n) { return date::format("%Y%m%d", today + days{n + 1}); };
        writeFile(source / file.path().filename(),
                  filled(readFile(file.path()),
                         {{"@DAY@", day(1)}, {"@DAY2@", day(2)}, {"@DAY3@", day(3)}}));
    }

    Environment environment = Khal{dir.path(), dir.path(), "Europe/Berlin"}.environment;
    const int port = probe(0);
    const std::map<std::string, std::string> marks{{"@DIR@", dir.path().string()},
                                                   {"@PORT@", std::to_string(port)}};
    const fs::path support = fs::path{RAVU_SOURCE_DIR} / "tests/support";
    writeFile(dir.path() / "radicale.conf", filled(readFile(support / "radicale.conf"), marks));
    BackgroundRun radicale{
        {python, "-m", "radicale", "--config", (dir.path() / "radicale.conf").string()},
        "",
        environment};
    for (int i = 0; i < 300 && radicale.running() && probe(port) == 0; ++i) {
        std::this_thread::sleep_for(50ms);
    }
    ASSERT_NE(probe(port), 0) << "radicale did not come up";

    environment["VDIRSYNCER_CONFIG"] = (dir.path() / "vdirsyncer.conf").string();
    writeFile(environment["VDIRSYNCER_CONFIG"],
              filled(readFile(support / "vdirsyncer.conf"), marks));
    for (const std::string pair : {"up", "down"}) {
        for (const std::string command : {"discover", "sync", "metasync"}) {
            const ProgramRun run = runTool({"vdirsyncer", command, pair}, environment, "y\ny\n");
            ASSERT_EQ(run.status, 0) << command << " " << pair << ": " << run.err;
        }
    }

    // Each side under its own key, with the same title, colour and events; peers may rename
    // files and stamp what they write.
    const auto seen = [](const fs::path& root, const std::string& key) {
        Json calendar = documentOf(runOnStore(root, {"calendars"}))["calendars"][0];
        Json records =
            documentOf(runOnStore(root, {"snapshot"}, Json{{"logicalKeys", {key}}}.dump(),
                                  "Europe/Berlin"))["feeds"][key];
        for (Json& record : records) {
            record.erase("uid");
            record.erase("lastModified");
        }
        std::sort(records.begin(), records.end());
        return Json{
            {"title", calendar["title"]}, {"color", calendar["color"]}, {"events", records}};
    };
    const std::string title = "Home & Family \xE2\x9C\x88";
    const Json before = seen(dir.path() / "source", "local|personal|" + title);
    EXPECT_EQ(seen(mirror, "caldav|Radicale|" + title), before);
    EXPECT_EQ(before["events"].size(), 5u) << "dentist, alps, three yoga classes: " << before;
    EXPECT_NE(before.dump().find("Yoga (late)"), std::string::npos) << before;
}

/// Whether `check` holds within ten seconds.
bool eventually(const std::function<bool()>& check) {
    for (int i = 0; i < 100 && !check(); ++i) {
        std::this_thread::sleep_for(100ms);
    }
    return check();
}

/// Radicale on a free port of 127.0.0.1, its collections in `dir`, with `rights` as its
/// configuration's rights section; stopped by its process id when this goes.
class Radicale {
  public:
    Radicale(const fs::path& dir, const std::string& rights)
        : port_{probe(0)},
          marks_{{"@DIR@", dir.string()}, {"@PORT@", std::to_string(port_)}},
          config_{(writeFile(dir / "radicale.conf",
                             filled(readFile(support() / "radicale.conf") + rights, marks_)),
                   dir / "radicale.conf")},
          run_{{"/usr/bin/python3", "-m", "radicale", "--config", config_.string()}, "", {}} {}
    static fs::path support() { return fs::path{RAVU_SOURCE_DIR} / "tests/support"; }
    /// Whether it answers.
    bool up() {
        return eventually([&] { return !run_.running() || probe(port_) != 0; }) &&
               probe(port_) != 0;
    }
    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }
    const std::map<std::string, std::string>& marks() const { return marks_; }
    /// curl with these arguments as `user`: what it printed.
    std::string http(const std::string& user, std::vector<std::string> args) const {
        args.insert(args.begin(), {"curl", "-s", "-u", user, "--max-time", "10"});
        return runTool(args).out;
    }

  private:
    int port_;
    std::map<std::string, std::string> marks_;
    fs::path config_;
    BackgroundRun run_;
};

/// The program on the desktop's store of `bus`.
Json onDesktop(const SessionBus& bus, const std::string& word, const Json& request = nullptr) {
    return documentOf(BackgroundRun{
        bus.home() / "unused", {word}, request.is_null() ? "" : request.dump(), bus.environment()}
                          .wait(1min));
}

std::string dayAhead(int n) {
    return date::format("%Y-%m-%d", date::floor<days>(std::chrono::system_clock::now()) + days{n});
}
std::string compactDay(int n) {
    return date::format("%Y%m%d", date::floor<days>(std::chrono::system_clock::now()) + days{n});
}

Json create(const std::string& key, const std::string& title, int day, const char* rule = "") {
    Json entry{{"op", "create"},
               {"itemId", title},
               {"logicalKey", key},
               {"title", title},
               {"startsAt", dayAhead(day) + "T09:00:00Z"},
               {"endsAt", dayAhead(day) + "T10:00:00Z"}};
    if (*rule != '\0') {
        entry["recurrenceRule"] = rule;
    }
    return entry;
}

// Past one machine: the desktop service's CalDAV backend on a Radicale server. What the program
// writes reaches the server, and what another client puts there comes back after a refresh.
TEST(PeerInterop, EvolutionStoreThroughRadicale) {
    const std::string python = "/usr/bin/python3";  // Debian's, which has Radicale
    if (!EvolutionBus::missing().empty() || !onPath("curl") ||
        runTool({python, "-c", "import radicale"}).status != 0) {
        GTEST_SKIP() << "evolution-data-server, curl and Radicale are needed: "
                     << EvolutionBus::missing();
    }
    TempDir dir;
    Radicale radicale{dir.path(), "[rights]\ntype = authenticated\n"};
    ASSERT_TRUE(radicale.up()) << "radicale did not come up";
    const std::string collection = radicale.url("/test/cal/");
    const auto http = [&](const std::vector<std::string>& args) {
        return radicale.http("test:", args);
    };
    http({"-X", "MKCALENDAR", collection});

    const EvolutionBus bus{
        {{"dav", filled(readFile(Radicale::support() / "caldav.source"), radicale.marks())}}};
    ASSERT_TRUE(bus.running());
    const Json calendar = onDesktop(bus, "calendars")["calendars"][0];
    EXPECT_EQ(calendar["logicalKey"], "caldav|CalDAV|Server");
    EXPECT_EQ(calendar["writable"], true);
    const std::string key = calendar["logicalKey"];
    const auto server = [&] { return http({collection}); };
    // The service uploads when the calendar is online; a refresh brings it there.
    const auto onServer = [&](const std::string& line) {
        return eventually([&] {
            return server().find(line) != std::string::npos ||
                   (bus.client({"refresh", "dav"}) && false);
        });
    };

    const Json applied = onDesktop(
        bus, "apply",
        {{"pending",
          {create(key, "From the program", 2), create(key, "Daily", 3, "FREQ=DAILY;COUNT=3")}}});
    EXPECT_EQ(applied["writes"][0]["status"], "applied") << applied;
    EXPECT_TRUE(onServer("SUMMARY:From the program")) << server();
    EXPECT_TRUE(onServer("SUMMARY:Daily")) << server();

    // Another client of the server.
    const std::string day1 = compactDay(1);
    writeFile(dir.path() / "peer.ics", Item{"peer"}
                                           .summary("From the server")
                                           .start(day1 + "T090000Z")
                                           .end(day1 + "T100000Z")
                                           .text());
    http({"-T", (dir.path() / "peer.ics").string(), "-H", "Content-Type: text/calendar",
          collection + "peer.ics"});
    const Json request = Json::object({{"logicalKeys", Json::array({key})}});
    EXPECT_TRUE(eventually([&] {
        bus.client({"refresh", "dav"});
        return onDesktop(bus, "snapshot", request).dump().find("From the server") !=
               std::string::npos;
    }));

    // One occurrence of the series changed through the program: an override on the server.
    std::string series;
    const Json snapshot = onDesktop(bus, "snapshot", request);
    for (const Json& record : snapshot["feeds"][key]) {
        series = record["title"] == "Daily" ? record["uid"].get<std::string>() : series;
    }
    const Json edited = onDesktop(bus, "apply",
                                  {{"pending",
                                    {{{"op", "updateExternal"},
                                      {"eventkitEventId", series},
                                      {"occurrenceStart", dayAhead(4) + "T09:00:00Z"},
                                      {"title", "Moved one"}}}}});
    EXPECT_EQ(edited["external"][0]["status"], "applied") << edited;
    EXPECT_TRUE(onServer("RECURRENCE-ID:" + compactDay(4) + "T090000Z")) << server();
    EXPECT_TRUE(onServer("SUMMARY:Moved one")) << server();
}

/// Three creates into the calendar: a title with every kind of text, an all-day event, a series.
Json threeCreates(const std::string& key) {
    Json allDay = create(key, "Away", 5);
    allDay["allDay"] = true;
    allDay["startsAt"] = dayAhead(5) + "T00:00:00Z";
    allDay["endsAt"] = dayAhead(6) + "T23:59:59Z";
    return {{"pending",
             {create(key, "Caf\xC3\xA9 \"&\" more, ok; yes", 2), allDay,
              create(key, "Weekly", 3, "FREQ=WEEKLY;COUNT=4")}}};
}

/// The first occurrence of each event of the feed, as tests/support/ical_fields.py prints it.
std::set<std::string> firstOccurrences(const Json& feed) {
    std::set<std::string> shown, uids;
    for (const Json& record : feed) {
        std::string uid = record["uid"].get<std::string>();
        uid = uid.substr(uid.find('/') + 1);
        if (uids.insert(uid).second) {
            const bool day = record["allDay"];
            const auto start = record["startsAt"].get<std::string>();
            shown.insert(uid + "|" + record["title"].get<std::string>() + "|" +
                         (day ? start.substr(0, 10) : start) + "|" +
                         (day ? dayAhead(7) : record["endsAt"].get<std::string>()) + "|" +
                         record.value("location", ""));
        }
    }
    return shown;
}

/// Whether python icalendar reads `shown` from the file that `fetch` writes, within ten seconds:
/// a service writes its file or its server a moment after it took the events.
void expectPythonReads(
    const std::set<std::string>& shown, const fs::path& file,
    const std::function<void()>& fetch = [] {}) {
    std::set<std::string> read;
    EXPECT_TRUE(eventually([&] {
        fetch();
        const auto lines =
            linesOf(runTool({"/usr/bin/python3",
                             (fs::path{RAVU_SOURCE_DIR} / "tests/support/ical_fields.py").string(),
                             file.string()})
                        .out);
        read = {lines.begin(), lines.end()};
        return read == shown;
    })) << ::testing::PrintToString(read)
        << "\n"
        << ::testing::PrintToString(shown);
}

// What the program writes into a local calendar of each desktop's service, an independent reader
// reads with the same fields from the service's own file.
TEST(PeerInterop, PythonIcalendarReadsTheEvolutionStoresWrites) {
    if (!EvolutionBus::missing().empty() ||
        runTool({"/usr/bin/python3", "-c", "import icalendar"}).status != 0) {
        GTEST_SKIP() << "evolution-data-server and python icalendar are needed: "
                     << EvolutionBus::missing();
    }
    const EvolutionBus bus{{{"cal", EvolutionBus::localSource("Calendar", "#3465a4", true)}}};
    ASSERT_TRUE(bus.running());
    const std::string key = "local|On This Computer|Calendar";
    const Json applied = onDesktop(bus, "apply", threeCreates(key));
    ASSERT_EQ(applied["writes"].size(), 3u) << applied;
    const Json snapshot =
        onDesktop(bus, "snapshot", Json::object({{"logicalKeys", Json::array({key})}}));
    expectPythonReads(firstOccurrences(snapshot["feeds"][key]),
                      bus.home() / ".local/share/evolution/calendar/cal/calendar.ics");
}

TEST(PeerInterop, PythonIcalendarReadsTheAkonadiStoresWrites) {
    if (!AkonadiBus::missing().empty() ||
        runTool({"/usr/bin/python3", "-c", "import icalendar"}).status != 0) {
        GTEST_SKIP() << "Akonadi and python icalendar are needed: " << AkonadiBus::missing();
    }
    const AkonadiBus bus;
    const fs::path file = bus.home() / "calendar.ics";
    writeFile(file, emptyCalendar);
    ASSERT_TRUE(bus.startAkonadi());
    ASSERT_NE(bus.resource("akonadi_ical_resource", "Personal", "Path=" + file.string()).collection,
              "");
    const Json calendar = onDesktop(bus, "calendars")["calendars"][0];
    EXPECT_EQ(calendar["logicalKey"], "local|Personal|Personal") << calendar;
    EXPECT_EQ(calendar["writable"], true);
    const std::string key = calendar["logicalKey"];
    const Json applied = onDesktop(bus, "apply", threeCreates(key));
    for (const Json& write : applied["writes"]) {
        EXPECT_EQ(write["status"], "applied") << applied;
    }
    // A moved occurrence lands in the series' place in the file, as an override.
    const Json request = Json::object({{"logicalKeys", Json::array({key})}});
    std::string weekly;
    const Json snapshot = onDesktop(bus, "snapshot", request);
    for (const Json& record : snapshot["feeds"][key]) {
        weekly = record["title"] == "Weekly" ? record["uid"].get<std::string>() : weekly;
    }
    const Json moved = onDesktop(bus, "apply",
                                 {{"pending",
                                   {{{"op", "updateExternal"},
                                     {"eventkitEventId", weekly},
                                     {"occurrenceStart", dayAhead(10) + "T09:00:00Z"},
                                     {"title", "Moved one"}}}}});
    EXPECT_EQ(moved["external"][0]["status"], "applied") << moved;
    expectPythonReads(firstOccurrences(onDesktop(bus, "snapshot", request)["feeds"][key]), file);
    EXPECT_NE(readFile(file).find("RECURRENCE-ID"), std::string::npos) << readFile(file);
    EXPECT_NE(readFile(file).find("SUMMARY:Moved one"), std::string::npos) << readFile(file);
}

// The KDE store on a CalDAV calendar of a Radicale server. What the program writes is on the
// server as python icalendar reads it over HTTP. A change of one occurrence, and a change of a
// series that holds changed occurrences, are refused with a message: Akonadi's resource keeps
// neither on the server. A write the server refuses, and a change a peer made on the server
// first, are "transientError" and leave nothing of the write behind.
TEST(PeerInterop, AkonadiStoreThroughRadicale) {
    if (!AkonadiBus::missing().empty() || !onPath("curl") ||
        runTool({"/usr/bin/python3", "-c", "import radicale, icalendar"}).status != 0) {
        GTEST_SKIP() << "Akonadi, curl, Radicale and python icalendar are needed: "
                     << AkonadiBus::missing();
    }
    TempDir dir;
    const auto rights = [&](const char* permissions) {
        writeFile(dir.path() / "rights",
                  std::string{"[all]\nuser: .+\ncollection: .*\npermissions: "} + permissions);
    };
    rights("RrWw");
    Radicale radicale{dir.path(), "[rights]\ntype = from_file\nfile = @DIR@/rights\n"};
    ASSERT_TRUE(radicale.up()) << "radicale did not come up";
    const std::string team = radicale.url("/user/team/");
    const fs::path cases = fs::path{RAVU_SOURCE_DIR} / "tests/cases/caldav";
    const auto http = [&](const std::vector<std::string>& args) {
        return radicale.http("user:x", args);
    };
    // Another client's files on the server: a series with a moved occurrence, and one event.
    const auto peerPuts = [&](const char* name, const char* title) {
        writeFile(dir.path() / name, filled(readFile(cases / name), {{"@DAY3@", compactDay(3)},
                                                                     {"@DAY4@", compactDay(4)},
                                                                     {"@TITLE@", title}}));
        http(
            {"-T", (dir.path() / name).string(), "-H", "Content-Type: text/calendar", team + name});
    };
    http({"-X", "MKCALENDAR", "-H", "Content-Type: application/xml", "--data-binary",
          "@" + (cases / "mkcalendar.xml").string(), team});
    peerPuts("peer.ics", "");
    peerPuts("solo.ics", "Solo");

    const AkonadiBus bus;
    ASSERT_TRUE(bus.startAkonadi());
    const std::string collection = bus.calDav(radicale.url("/user/")).collection;
    ASSERT_NE(collection, "");
    const Json calendar = onDesktop(bus, "calendars")["calendars"][0];
    EXPECT_EQ(calendar.value("logicalKey", "") + " " + calendar.value("colorHex", "") + " " +
                  calendar["writable"].dump(),
              "caldav|Radicale|Team #3366CC true")
        << calendar;
    const std::string key = calendar["logicalKey"];
    const Json request = Json::object({{"logicalKeys", Json::array({key})}});
    // The one outcome of an apply of one entry: its status and error.
    const auto outcome = [&](const Json& entry) {
        const Json done = onDesktop(bus, "apply", {{"pending", {entry}}});
        for (const char* list : {"writes", "external"}) {
            for (const Json& result : done.value(list, Json::array())) {
                return result.value("status", "") + " " + result.value("error", "");
            }
        }
        return done.dump();
    };

    const Json applied = onDesktop(bus, "apply", threeCreates(key));
    for (const Json& write : applied["writes"]) {
        EXPECT_EQ(write["status"], "applied") << applied;
    }
    const Json snapshot = onDesktop(bus, "snapshot", request);
    const std::set<std::string> shown = firstOccurrences(snapshot["feeds"][key]);
    EXPECT_EQ(shown.size(), 5u);
    expectPythonReads(shown, dir.path() / "server.ics",
                      [&] { writeFile(dir.path() / "server.ics", http({team})); });
    const std::string before = http({team});

    // One occurrence, of our series or the peer's, and the peer's series whole: refused.
    std::string weekly;
    for (const Json& record : snapshot["feeds"][key]) {
        weekly = record["title"] == "Weekly" ? record["uid"].get<std::string>() : weekly;
    }
    const auto occurrence = [&](const char* op) {
        return Json{{"op", op},
                    {"eventkitEventId", weekly},
                    {"occurrenceStart", dayAhead(10) + "T09:00:00Z"},
                    {"title", "Moved one"}};
    };
    for (const Json& entry : {occurrence("updateExternal"), occurrence("deleteExternal"),
                              Json{{"op", "update"},
                                   {"eventkitEventId", collection + "/peer"},
                                   {"itemId", "peer"},
                                   {"title", "Renamed"}}}) {
        EXPECT_THAT(outcome(entry), ::testing::MatchesRegex("transientError .*CalDAV.*"));
    }
    EXPECT_EQ(http({team}), before);

    // The server refuses a create: it is undone in Akonadi too.
    rights("Rr");
    EXPECT_THAT(outcome(create(key, "Refused", 6)), ::testing::StartsWith("transientError"));
    rights("RrWw");
    EXPECT_EQ(http({team}), before);
    EXPECT_EQ(firstOccurrences(onDesktop(bus, "snapshot", request)["feeds"][key]), shown);

    // A change of our own event reaches the server; after a peer changed an event on the server
    // that Akonadi last read before, ours is not written over it, and the peer's stays.
    EXPECT_EQ(outcome({{"op", "update"},
                       {"eventkitEventId", collection + "/solo"},
                       {"itemId", "solo"},
                       {"title", "Changed"}}),
              "applied ");
    EXPECT_NE(http({team + "solo.ics"}).find("SUMMARY:Changed"), std::string::npos);
    peerPuts("solo.ics", "Peer's change");
    EXPECT_THAT(outcome({{"op", "update"},
                         {"eventkitEventId", collection + "/solo"},
                         {"itemId", "solo"},
                         {"title", "Ours"}}),
                ::testing::StartsWith("transientError"));
    EXPECT_NE(http({team + "solo.ics"}).find("SUMMARY:Peer's change"), std::string::npos);
}

// Two runs with the same creates side by side on one desktop: its lock makes one event of each.
TEST(PeerInterop, TwoEvolutionRunsCreatingTheSameItemsMakeOneEventEach) {
    if (!EvolutionBus::missing().empty()) {
        GTEST_SKIP() << EvolutionBus::missing();
    }
    const EvolutionBus bus{{{"cal", EvolutionBus::localSource("Calendar", "#3465a4", true)}}};
    ASSERT_TRUE(bus.running());
    const std::string key = "local|On This Computer|Calendar";
    Json pending = Json::array();
    for (int i = 0; i < 20; ++i) {
        pending.push_back(create(key, "Item " + std::to_string(i), 2 + i % 5));
    }
    const std::string request = Json{{"pending", pending}}.dump();
    BackgroundRun first{bus.home() / "unused", {"apply"}, request, bus.environment()};
    Environment older = bus.environment();
    older["RAVU_CALENDAR_BACKEND"] = "desktop";  // the store's older name, still taken
    BackgroundRun second{bus.home() / "unused", {"apply"}, request, older};
    const ProgramRun one = first.wait(2min), two = second.wait(2min);
    EXPECT_EQ(one.status + two.status, 0) << one.out << one.err << two.out << two.err;
    EXPECT_EQ(documentOf(two)["writes"].size(), 20u) << two.out << two.err;
    std::map<std::string, int> events;
    const Json snapshot =
        onDesktop(bus, "snapshot", Json::object({{"logicalKeys", Json::array({key})}}));
    for (const Json& record : snapshot["feeds"][key]) {
        ++events[record["title"].get<std::string>()];
    }
    EXPECT_EQ(events.size(), 20u);
    for (const auto& [title, count] : events) {
        EXPECT_EQ(count, 1) << title;
    }
}

}  // namespace
}  // namespace ravu::testing

// The KDE store as a host meets it: the program on a real Akonadi with SQLite on a private bus,
// what an independent reader finds in the calendar file it wrote, a first login's home that our
// runs leave as they found it, and buses that cannot answer.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <set>
#include <sstream>
#include <thread>

#include <date/date.h>
#include <nlohmann/json.hpp>

#include "tests/support/akonadi_bus.h"

namespace ravu::testing {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using namespace std::chrono_literals;

std::string dayAhead(int n) {
    return date::format("%F",
                        date::floor<date::days>(std::chrono::system_clock::now()) + date::days{n});
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

/// The program on the KDE store of `environment`, with how long it took.
std::pair<ProgramRun, std::chrono::milliseconds> timed(const Environment& environment,
                                                       const std::string& word,
                                                       const Json& request = nullptr) {
    const auto started = std::chrono::steady_clock::now();
    ProgramRun run =
        BackgroundRun{
            fs::path{"/nonexistent"}, {word}, request.is_null() ? "" : request.dump(), environment}
            .wait(2min);
    return {run, std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::steady_clock::now() - started)};
}

Json onAkonadi(const AkonadiBus& bus, const std::string& word, const Json& request = nullptr) {
    return documentOf(timed(bus.environment(), word, request).first);
}

// What the program writes into an iCal-file resource, python icalendar reads from the resource's
// own file with the same fields; a changed occurrence lands in the series' file as an override.
TEST(AkonadiStore, PythonIcalendarReadsWhatTheProgramWroteIntoTheResourcesFile) {
    if (!AkonadiBus::missing().empty() ||
        runTool({"/usr/bin/python3", "-c", "import icalendar"}).status != 0) {
        GTEST_SKIP() << "Akonadi and python icalendar are needed: " << AkonadiBus::missing();
    }
    const AkonadiBus bus;
    const fs::path file = bus.home() / "calendar.ics";
    writeFile(file,
              "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//ravu//tests//EN\r\nEND:VCALENDAR\r\n");
    ASSERT_TRUE(bus.startAkonadi());
    ASSERT_NE(
        bus.resource("akonadi_ical_resource", "Personal", {"setPath=" + file.string()}).collection,
        "");
    const Json calendar = onAkonadi(bus, "calendars")["calendars"][0];
    EXPECT_EQ(calendar["logicalKey"], "local|Personal|Personal") << calendar;
    EXPECT_EQ(calendar["writable"], true);
    const std::string key = calendar["logicalKey"];
    Json allDay = create(key, "Away", 5);
    allDay["allDay"] = true;
    allDay["startsAt"] = dayAhead(5) + "T00:00:00Z";
    allDay["endsAt"] = dayAhead(6) + "T23:59:59Z";
    const Json applied = onAkonadi(bus, "apply",
                                   {{"pending",
                                     {create(key, "Caf\xC3\xA9 \"&\" more, ok; yes", 2), allDay,
                                      create(key, "Weekly", 3, "FREQ=WEEKLY;COUNT=4")}}});
    ASSERT_EQ(applied["writes"].size(), 3u) << applied;
    for (const Json& write : applied["writes"]) {
        EXPECT_EQ(write["status"], "applied") << applied;
    }

    const Json request = Json::object({{"logicalKeys", Json::array({key})}});
    std::string weekly;
    const Json before = onAkonadi(bus, "snapshot", request);
    for (const Json& record : before["feeds"][key]) {
        weekly = record["title"] == "Weekly" ? record["uid"].get<std::string>() : weekly;
    }
    ASSERT_NE(weekly, "") << before;
    const Json moved = onAkonadi(bus, "apply",
                                 {{"pending",
                                   {{{"op", "updateExternal"},
                                     {"eventkitEventId", weekly},
                                     {"occurrenceStart", dayAhead(10) + "T09:00:00Z"},
                                     {"title", "Moved one"}}}}});
    EXPECT_EQ(moved["external"][0]["status"], "applied") << moved;

    // The first occurrence of each event, as the snapshot shows it.
    std::set<std::string> shown;
    std::set<std::string> uids;
    const Json snapshot = onAkonadi(bus, "snapshot", request);
    for (const Json& record : snapshot["feeds"][key]) {
        const std::string uid = record["uid"].get<std::string>();
        if (uids.insert(uid).second) {
            const bool day = record["allDay"];
            shown.insert(uid.substr(uid.find('/') + 1) + "|" + record["title"].get<std::string>() +
                         "|" +
                         (day ? record["startsAt"].get<std::string>().substr(0, 10)
                              : record["startsAt"].get<std::string>()) +
                         "|" + (day ? dayAhead(7) : record["endsAt"].get<std::string>()) + "|");
        }
    }
    EXPECT_NE(snapshot.dump().find("Moved one"), std::string::npos) << snapshot;
    std::set<std::string> read;
    // The resource writes its file a moment after it took the events.
    for (int i = 0; i < 100 && read != shown; ++i) {
        std::this_thread::sleep_for(100ms);
        const ProgramRun run = runTool(
            {"/usr/bin/python3",
             (fs::path{RAVU_SOURCE_DIR} / "tests/support/ical_fields.py").string(), file.string()});
        const auto lines = linesOf(run.out);
        read = {lines.begin(), lines.end()};
    }
    EXPECT_EQ(read, shown);
    EXPECT_NE(readFile(file).find("SUMMARY:Moved one"), std::string::npos) << readFile(file);
    EXPECT_NE(readFile(file).find("RECURRENCE-ID"), std::string::npos) << readFile(file);
}

// On a first login's home, without the files that keep Akonadi's first-run defaults away, no
// word of the program makes a resource, an agent or a collection.
TEST(AkonadiStore, AFirstLoginsHomeIsLeftAsItWas) {
    if (!AkonadiBus::missing().empty()) {
        GTEST_SKIP() << AkonadiBus::missing();
    }
    const AkonadiBus bus{false};
    ASSERT_TRUE(bus.running());
    EXPECT_EQ(onAkonadi(bus, "status"), (Json{{"granted", true}}));
    EXPECT_EQ(onAkonadi(bus, "permission"), (Json{{"granted", true}}));
    EXPECT_EQ(onAkonadi(bus, "calendars"), (Json{{"calendars", Json::array()}}));
    EXPECT_EQ(onAkonadi(bus, "snapshot", {{"logicalKeys", {"local|x|y"}}}),
              (Json{{"feeds", Json::object()}}));
    EXPECT_EQ(bus.collections(), std::vector<std::string>{"1|Search|akonadi_search_resource|"});
    EXPECT_FALSE(fs::exists(bus.home() / ".config/akonadi/agentsrc") &&
                 readFile(bus.home() / ".config/akonadi/agentsrc").find("resource_") !=
                     std::string::npos)
        << readFile(bus.home() / ".config/akonadi/agentsrc");
}

// A bus that accepts and never answers, a bus on which Akonadi is stopped, and no bus at all:
// every word answers before three times its bound, and only a stopped Akonadi is one that
// `permission` can start.
TEST(AkonadiStore, SilentBusesAndAStoppedAkonadiAnswerWithinTheirBounds) {
    if (!AkonadiBus::missing().empty()) {
        GTEST_SKIP() << AkonadiBus::missing();
    }
    const AkonadiBus stopped;
    ASSERT_TRUE(stopped.running());
    TempDir dir;
    const fs::path socketPath = dir.path() / "silent";
    const int silent = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
    ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(silent, 16), 0);

    Environment quiet = stopped.environment(), none = stopped.environment();
    quiet["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + socketPath.string();
    none["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + (dir.path() / "nothing").string();
    const auto bound = 2s;  // the bus's limit for one question: status asks two at most
    struct Case {
        const Environment* environment;
        const char* word;
        const char* document;
        std::chrono::seconds limit;
    };
    for (const Case& c : {Case{&quiet, "status", R"({"granted":false})", 2 * bound},
                          Case{&quiet, "permission", R"({"granted":false})", bound},
                          Case{&quiet, "calendars", R"({"calendars":[]})", bound},
                          Case{&none, "status", R"({"granted":false})", bound},
                          Case{&none, "calendars", R"({"calendars":[]})", bound},
                          Case{&stopped.environment(), "status", R"({"granted":true})", bound}}) {
        const auto [run, took] = timed(*c.environment, c.word);
        EXPECT_EQ(documentOf(run), Json::parse(c.document)) << c.word << run.err;
        EXPECT_LT(took, 3 * c.limit) << c.word;
    }
    // `status` started nothing; `permission` starts Akonadi under its bound.
    const auto owner = [&] {
        return runTool({"dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus",
                        "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner",
                        "string:org.freedesktop.Akonadi"},
                       stopped.environment())
            .out;
    };
    EXPECT_NE(owner().find("false"), std::string::npos);
    const auto [granted, took] = timed(stopped.environment(), "permission");
    EXPECT_EQ(documentOf(granted), (Json{{"granted", true}})) << granted.err;
    EXPECT_LT(took, 3 * 10s);
    EXPECT_NE(owner().find("true"), std::string::npos);
    ::close(silent);
}

}  // namespace
}  // namespace ravu::testing

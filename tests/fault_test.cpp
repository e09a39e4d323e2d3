// Faults a run must come through with the store whole: being killed mid-queue, racing another
// run, a peer saving while it writes, a full disk, and a machine that stops right after a write.
// And what a run cannot read or reach: a calendar folder it may not list, and a desktop whose
// bus, service or server does not answer, where every word still answers in time and nothing it
// could not read reads as empty or gone.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <set>
#include <thread>

#include <date/date.h>
#include <nlohmann/json.hpp>

#include "cli/watchdog.h"
#include "tests/support/akonadi_bus.h"
#include "tests/support/evolution_bus.h"
#include "tests/support/items.h"
#include "tests/support/process.h"

namespace ravu::testing {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using date::days;
using namespace std::chrono_literals;

// The program reads the clock itself, so the events are laid out around the real today.
const date::sys_days today = date::floor<days>(std::chrono::system_clock::now());

std::string at(std::chrono::hours hours, const char* format = "%FT%TZ") {
    return date::format(format, today + hours);
}

/// The calendar "local|local|Calendar" with a single event `solo` and a daily series `series`
/// of five from today; gives its folder.
fs::path makeCalendar(const fs::path& root) {
    const fs::path folder = root / "local" / "calendar";
    const char* stamp = "%Y%m%dT%H%M%SZ";
    writeFile(folder / "displayname", "Calendar\n");
    writeFile(folder / "solo.ics", Item{"solo"}.summary("Solo").start(at(9h, stamp)).text());
    writeFile(
        folder / "series.ics",
        Item{"series"}.summary("Series").start(at(8h, stamp)).rrule("FREQ=DAILY;COUNT=5").text());
    return folder;
}

Json create(const std::string& itemId, std::chrono::hours start) {
    return {{"op", "create"},  {"itemId", itemId},      {"logicalKey", "local|local|Calendar"},
            {"title", itemId}, {"startsAt", at(start)}, {"endsAt", at(start + 1h)}};
}

/// One entry of each op against the events of `makeCalendar`, the removal last.
Json everyOp() {
    return Json::parse(filled(readFile(fs::path{RAVU_SOURCE_DIR} / "tests/support/every-op.json"),
                              {{"@14H@", at(14h)}, {"@15H@", at(15h)}, {"@32H@", at(32h)}}));
}

/// "status error" of each write and occurrence change of an apply document.
std::vector<std::string> statusesOf(const Json& result) {
    std::vector<std::string> statuses;
    for (const char* list : {"writes", "external"}) {
        for (const Json& outcome : result.value(list, Json::array())) {
            statuses.push_back(outcome.value("status", "") + " " + outcome.value("error", ""));
        }
    }
    return statuses;
}

/// The document of an apply run over the store at `root`; with `shim`, the environment of
/// tests/support/fsync_shim.cpp, preloaded (a sanitized program too, ahead of the sanitizer's
/// own library).
Json applyRun(const fs::path& root, const Json& pending, Environment shim = {}) {
    if (!shim.empty()) {
        const char* asan = std::getenv("ASAN_OPTIONS");
        shim["LD_PRELOAD"] = RAVU_FSYNC_SHIM;
        shim["ASAN_OPTIONS"] = std::string{asan ? asan : ""} + ":verify_asan_link_order=0";
    }
    return documentOf(
        BackgroundRun{root, {"apply"}, Json{{"pending", pending}}.dump(), shim}.wait(60s));
}

/// The item files of a folder; hidden names (temporary files, the lock) left out.
std::set<std::string> itemFiles(const fs::path& folder) {
    std::set<std::string> names;
    for (const fs::path& path : listed(folder)) {
        if (path.extension() == ".ics" && !path.filename().string().starts_with('.')) {
            names.insert(path.filename());
        }
    }
    return names;
}

/// The identifiers of the snapshot's events by item id, checking that every file was read.
std::map<std::string, std::set<std::string>> eventsByItem(const fs::path& root) {
    const ProgramRun snapshot =
        runOnStore(root, {"snapshot"}, R"({"logicalKeys":["local|local|Calendar"]})");
    EXPECT_EQ(snapshot.err, "") << "no file may be unreadable";
    std::map<std::string, std::set<std::string>> byItem;
    const Json feed = documentOf(snapshot)["feeds"]["local|local|Calendar"];
    for (const Json& record : feed) {
        byItem[record.value("ravuItemId", "")].insert(record.value("uid", ""));
    }
    return byItem;
}

TEST(Faults, AKilledApplyLeavesWholeFilesAndLosesNoEvent) {
    TempDir dir;
    const fs::path folder = makeCalendar(dir.path());
    // Creates, and new exceptions in one series file, interleaved.
    const auto queue = [&](int round) {
        Json pending = Json::array();
        for (int i = 0; i < 150; ++i) {
            pending.push_back(create(std::to_string(round) + "-" + std::to_string(i), 24h * i));
            pending.push_back({{"op", "updateExternal"},
                               {"eventkitEventId", "local/calendar/series"},
                               {"occurrenceStart", at(24h * (i % 5) + 8h)},
                               {"title", "Moved " + std::to_string(i)}});
        }
        return Json{{"pending", pending}}.dump();
    };
    const unsigned seed = std::random_device{}();  // a fresh one each time; failures name it
    SCOPED_TRACE("random seed " + std::to_string(seed));
    std::mt19937 random{seed};
    int killedMidway = 0;
    for (int round = 0; round < 3; ++round) {
        const std::size_t target =
            itemFiles(folder).size() + std::uniform_int_distribution<std::size_t>{1, 100}(random);
        BackgroundRun run{dir.path(), {"apply"}, queue(round)};
        while (run.running() && itemFiles(folder).size() < target) {
            std::this_thread::sleep_for(1ms);
        }
        std::this_thread::sleep_for(
            std::chrono::microseconds{std::uniform_int_distribution<int>{0, 3000}(random)});
        killedMidway += run.kill();
        EXPECT_EQ(eventsByItem(dir.path())[""],
                  (std::set<std::string>{"local/calendar/series", "local/calendar/solo"}));
    }
    EXPECT_GT(killedMidway, 0) << "every run ended before it could be killed";

    // The host sends its first queue again: every item ends up with exactly one event.
    EXPECT_EQ(statusesOf(documentOf(runOnStore(dir.path(), {"apply"}, queue(0)))),
              std::vector<std::string>(300, "applied "));
    auto byItem = eventsByItem(dir.path());
    for (int i = 0; i < 150; ++i) {
        EXPECT_EQ(byItem["0-" + std::to_string(i)].size(), 1u) << i;
    }
}

TEST(Faults, TwoRunsCreatingTheSameItemsMakeOneEventEach) {
    Json pending = Json::array();
    for (int i = 0; i < 20; ++i) {
        pending.push_back(create("item-" + std::to_string(i), 24h * i));
    }
    const std::string request = Json{{"pending", pending}}.dump();
    for (int round = 0; round < 3; ++round) {
        TempDir dir;
        const fs::path folder = makeCalendar(dir.path());
        BackgroundRun first{dir.path(), {"apply"}, request}, second{dir.path(), {"apply"}, request};
        const Json one = documentOf(first.wait(60s))["writes"];
        const Json two = documentOf(second.wait(60s))["writes"];
        ASSERT_EQ(one.size(), 20u);
        for (std::size_t i = 0; i < 20; ++i) {
            EXPECT_EQ(one[i].value("status", ""), "applied") << one[i];
            EXPECT_EQ(one[i]["eventkitEventId"], two[i]["eventkitEventId"]) << "item-" << i;
        }
        EXPECT_EQ(itemFiles(folder).size(), 22u) << "round " << round;
    }
}

TEST(Faults, AFullDiskRefusesWritesAndKeepsEveryFileWhole) {
    TempDir dir;
    if (::geteuid() != 0 ||
        ::mount("tmpfs", dir.path().c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64k") != 0) {
        GTEST_SKIP() << "cannot mount a small file system here: " << std::strerror(errno);
    }
    const struct Unmount {
        fs::path at;
        ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
    } unmount{dir.path()};
    const fs::path folder = makeCalendar(dir.path() / "store");
    const std::string series = readFile(folder / "series.ics");
    writeFile(dir.path() / "filler", std::string(64 << 10, 'x'));  // as much as fits

    const Json result = applyRun(dir.path() / "store", everyOp());
    const auto statuses = statusesOf(result);
    ASSERT_EQ(statuses.size(), 4u) << result;
    for (const std::string& status : statuses) {
        EXPECT_TRUE(status.starts_with("transientError") &&
                    status.find("No space left on device") != std::string::npos)
            << status;
    }
    EXPECT_EQ(result["deletes"], Json::array({"local/calendar/solo"}))
        << "a removal needs no space";
    EXPECT_EQ(readFile(folder / "series.ics"), series);
    EXPECT_EQ(itemFiles(folder), std::set<std::string>{"series.ics"}) << "no temporary file left";
}

TEST(Faults, AWriteReachesTheDiskBeforeItIsPublished) {
    TempDir dir;
    makeCalendar(dir.path() / "store");
    const fs::path log = dir.path() / "sync.log";
    Json pending = everyOp();
    pending.erase(pending.size() - 1);  // every entry left writes a file
    const Json result = applyRun(dir.path() / "store", pending, {{"RAVU_FSYNC_LOG", log.string()}});
    EXPECT_EQ(statusesOf(result), std::vector<std::string>(4, "applied "));

    const std::vector<std::string> lines = linesOf(readFile(log));
    int published = 0;
    for (auto line = lines.begin(); line != lines.end(); ++line) {
        std::istringstream words{*line};
        std::string verb, from, to;
        if (!(words >> verb >> from >> to) || verb != "rename" || !to.ends_with(".ics")) {
            continue;
        }
        ++published;
        EXPECT_NE(std::find(lines.begin(), line, "fsync " + from), line)
            << from << " was renamed before it was synced";
        EXPECT_NE(std::find(line, lines.end(), "fsync " + fs::path{to}.parent_path().string()),
                  lines.end())
            << "the folder of " << to << " was not synced after the rename";
    }
    EXPECT_EQ(published, 4) << readFile(log);
}

TEST(Faults, APeerSavingWhileTheRunWritesIsNeverOverwritten) {
    TempDir dir;
    const fs::path solo = makeCalendar(dir.path() / "store") / "solo.ics";
    const std::string before = readFile(solo);
    // Under the lock and after every look-up: only a peer that takes no lock gets here.
    const auto statuses = statusesOf(applyRun(dir.path() / "store", Json::array({everyOp()[1]}),
                                              {{"RAVU_PEER_EDIT", solo.string()}}));
    ASSERT_EQ(statuses.size(), 1u);
    EXPECT_TRUE(statuses[0].starts_with("transientError") &&
                statuses[0].find("changed by another program") != std::string::npos)
        << statuses[0];
    EXPECT_EQ(readFile(solo), before);
    EXPECT_EQ(itemFiles(solo.parent_path()), (std::set<std::string>{"series.ics", "solo.ics"}));
}

TEST(Faults, ACalendarFolderThatCannotBeListedIsUnreadNotEmptyOrGone) {
    TempDir dir;
    const fs::path root = dir.path() / "store", locked = root / "local/locked";
    makeCalendar(root);
    writeFile(locked / "kept.ics", Item{"kept"}.start(at(10h, "%Y%m%dT%H%M%SZ")).text());
    fs::permissions(locked, fs::perms::none);
    // The superuser lists any folder: the program then runs as nobody, on a store of nobody's.
    std::vector<std::string> argv{RAVU_BINARY};
    if (::geteuid() == 0) {
        runTool({"chown", "-R", "65534:65534", dir.path().string()});
        argv.insert(argv.begin(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    }
    const auto run = [&](const char* word, const Json& request) {
        argv.push_back(word);
        const ProgramRun done =
            BackgroundRun{argv, request.dump(), {{"TZ", "UTC"}, {"RAVU_CALENDAR_STORE", root}}}
                .wait(60s);
        argv.pop_back();
        return documentOf(done);
    };
    const Json snapshot =
        run("snapshot", {{"logicalKeys", {"local|local|Calendar", "local|local|locked"}}});
    EXPECT_EQ(snapshot["feeds"]["local|local|Calendar"].size(), 6u) << snapshot;
    EXPECT_EQ(snapshot["unread"], Json::array({"local|local|locked"})) << snapshot;
    const Json applied = run(
        "apply", {{"pending",
                   {{{"op", "update"}, {"itemId", "x"}, {"eventkitEventId", "local/locked/kept"}},
                    {{"op", "delete"}, {"eventkitEventId", "local/locked/kept"}}}}});
    EXPECT_EQ(statusesOf(applied),
              std::vector<std::string>{"transientError the event's file local/locked/kept.ics "
                                       "cannot be read"});
    EXPECT_EQ(applied["deletes"], Json::array());
}

/// A port of 127.0.0.1 that takes connections and never answers them: a server, or a bus, that
/// hangs.
class SilentPort {
  public:
    SilentPort() : fd_{::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)} {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        auto* any = reinterpret_cast<sockaddr*>(&address);
        EXPECT_TRUE(::bind(fd_, any, length) == 0 && ::listen(fd_, 64) == 0 &&
                    ::getsockname(fd_, any, &length) == 0);
        port_ = std::to_string(ntohs(address.sin_port));
    }
    ~SilentPort() { ::close(fd_); }
    SilentPort(const SilentPort&) = delete;
    SilentPort& operator=(const SilentPort&) = delete;
    const std::string& port() const { return port_; }

  private:
    int fd_;
    std::string port_;
};

const Json desktopFaults =
    Json::parse(readFile(fs::path{RAVU_SOURCE_DIR} / "tests/cases/desktop-faults.json"))["cases"];

class DesktopFaults : public ::testing::TestWithParam<std::size_t> {};

// tests/cases/desktop-faults.json: each word of the program on a desktop whose server, service
// or bus does not answer.
TEST_P(DesktopFaults, EveryWordAnswersInTimeAndTellsWhatItCouldNotRead) {
    const Json& setting = desktopFaults[GetParam()];
    const bool kde = setting.value("store", "") == "akonadi";
    if (const std::string why = kde ? AkonadiBus::missing() : EvolutionBus::missing();
        !why.empty()) {
        GTEST_SKIP() << why;
    }
    const std::string fault = setting["fault"], other = setting["other"];
    const fs::path support = fs::path{RAVU_SOURCE_DIR} / "tests/support";
    const std::string local = "local|On This Computer|Calendar";
    std::map<std::string, std::string> sources{
        {"cal", EvolutionBus::localSource("Calendar", "#3465a4", true)}};
    const SilentPort silent;
    std::vector<std::string> launcher;
    if (fault == "silent server") {
        sources["dav"] = filled(readFile(support / "caldav.source"), {{"@PORT@", silent.port()}});
    } else if (fault == "spinning zone") {
        // The service grows as it spins: a limit, and the bus stops it by its id at the end.
        sources["spin"] = EvolutionBus::localSource("Spin", "#3465a4", true);
        launcher = {"prlimit", "--as=" + std::to_string(2ULL << 30)};
    }
    const std::string config = fault.ends_with(".conf") ? readFile(support / fault) : "";
    const std::unique_ptr<SessionBus> desktop =
        kde ? std::unique_ptr<SessionBus>{std::make_unique<AkonadiBus>(true, config)}
            : std::make_unique<EvolutionBus>(sources, config, launcher);
    const SessionBus& bus = *desktop;
    ASSERT_TRUE(bus.running());
    Environment environment = bus.environment();
    if (fault == "silent bus") {
        environment["DBUS_SESSION_BUS_ADDRESS"] = "tcp:host=127.0.0.1,port=" + silent.port();
    } else if (fault == "spinning zone") {
        writeFile(
            bus.home() / ".local/share/evolution/calendar/spin/calendar.ics",
            readFile(fs::path{RAVU_SOURCE_DIR} / "fuzz/corpus/ics/hostile-vtimezone-secondly"));
    }

    const auto creating = [](const std::string& key) {
        return Json{{"op", "create"}, {"itemId", key}, {"logicalKey", key}, {"startsAt", at(30h)}};
    };
    const std::vector<std::pair<std::string, Json>> words{
        {"status", nullptr},
        {"permission", nullptr},
        {"calendars", nullptr},
        {"snapshot", {{"logicalKeys", {local, other}}}},
        {"apply", {{"pending", {creating(local), creating(other)}}}}};
    const auto started = std::chrono::steady_clock::now();
    std::vector<std::unique_ptr<BackgroundRun>> runs;
    for (const auto& [word, request] : words) {
        runs.push_back(std::make_unique<BackgroundRun>(bus.home() / "unused", std::vector{word},
                                                       request.is_null() ? "" : request.dump(),
                                                       environment));
    }
    // Side by side, and waited for one after the other: each is timed at least as long as it ran.
    Json seen;
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const auto& [word, request] = words[i];
        const auto limit = 3 * runBound(word, request);
        const Json document = documentOf(runs[i]->wait(limit));
        EXPECT_LT(std::chrono::steady_clock::now() - started, limit) << word;
        Json& told = seen[word] = document.value("granted", Json::object());
        for (const Json& calendar : document.value("calendars", Json::array())) {
            told[calendar["logicalKey"].get<std::string>()] = calendar["writable"];
        }
        if (word == "snapshot") {
            told = document;
            told["feeds"] = Json::array();
            for (const auto& [key, records] : document["feeds"].items()) {
                told["feeds"].push_back(key);
            }
        } else if (word == "apply") {
            told = statusesOf(document);
        }
    }
    EXPECT_EQ(seen, setting["expected"]);
}

INSTANTIATE_TEST_SUITE_P(Cases, DesktopFaults,
                         ::testing::Range<std::size_t>(0, desktopFaults.size()),
                         [](const auto& info) { return desktopFaults[info.param]["name"]; });

}  // namespace
}  // namespace ravu::testing

// Faults a run must come through with the store whole: being killed mid-queue, racing another
// run, a peer saving while it writes, a full disk, and a machine that stops right after a write.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <set>
#include <thread>

#include <date/date.h>
#include <nlohmann/json.hpp>

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

}  // namespace
}  // namespace ravu::testing

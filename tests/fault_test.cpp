// Faults a run must come through with the store whole: being killed mid-queue, racing another
// run, a peer saving underneath it, a full disk, and a machine that stops right after a write.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include <date/date.h>
#include <nlohmann/json.hpp>

#include "cli/dispatch.h"
#include "convert/time.h"
#include "store/vdir/vdir_store.h"
#include "tests/support/items.h"
#include "tests/support/process.h"

namespace ravu::testing {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using date::days;
using date::sys_days;
using date::sys_seconds;
using namespace std::chrono_literals;

const std::string key = "local|local|Calendar";
const std::string snapshotRequest = R"({"logicalKeys":["local|local|Calendar"]})";

// The program reads the clock itself, so the events are laid out around the real today.
sys_days today() {
    return date::floor<days>(std::chrono::system_clock::now());
}

std::string stamp(sys_seconds at) {
    return date::format("%Y%m%dT%H%M%SZ", at);
}

std::string isoText(sys_seconds at) {
    return date::format("%Y-%m-%dT%H:%M:%SZ", at);
}

/// The calendar "local|local|Calendar" with a single event `solo` and a daily series `series`
/// of five from `day`; gives its folder.
fs::path makeCalendar(const fs::path& root, sys_days day) {
    const fs::path folder = root / "local" / "calendar";
    writeFile(folder / "displayname", "Calendar\n");
    writeFile(folder / "solo.ics",
              Item{"solo"}.summary("Solo").start(stamp(day + 9h)).end(stamp(day + 10h)).text());
    writeFile(folder / "series.ics", Item{"series"}
                                         .summary("Series")
                                         .start(stamp(day + 8h))
                                         .end(stamp(day + 8h + 30min))
                                         .rrule("FREQ=DAILY;COUNT=5")
                                         .text());
    return folder;
}

Json create(const std::string& itemId, sys_seconds start) {
    return {{"op", "create"},
            {"itemId", itemId},
            {"logicalKey", key},
            {"startsAt", isoText(start)},
            {"endsAt", isoText(start + 1h)},
            {"title", itemId}};
}

/// One entry of each op against the events of `makeCalendar`.
Json everyOp(sys_days day) {
    const Json occurrence = {{"eventkitEventId", "local/calendar/series"},
                             {"occurrenceStart", isoText(day + days{1} + 8h)}};
    Json updateExternal = occurrence;
    updateExternal.update({{"op", "updateExternal"}, {"title", "Moved"}});
    Json deleteExternal = occurrence;
    deleteExternal["op"] = "deleteExternal";
    return Json::array({create("new", day + 14h),
                        {{"op", "update"},
                         {"eventkitEventId", "local/calendar/solo"},
                         {"itemId", "solo"},
                         {"title", "Solo, renamed"}},
                        updateExternal,
                        deleteExternal,
                        {{"op", "delete"}, {"eventkitEventId", "local/calendar/solo"}}});
}

Json statusesOf(const Json& result) {
    Json statuses = Json::array();
    for (const char* list : {"writes", "external"}) {
        for (const Json& outcome : result.value(list, Json::array())) {
            statuses.push_back(outcome.value("status", "") + " " + outcome.value("error", ""));
        }
    }
    return statuses;
}

/// The item files of a folder; hidden names (temporary files, the lock) left out.
std::set<std::string> itemFiles(const fs::path& folder) {
    std::set<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        const std::string name = entry.path().filename().string();
        if (!name.starts_with('.') && name.ends_with(".ics")) {
            names.insert(name);
        }
    }
    return names;
}

/// The events of the calendar's snapshot by item id, checking that every file could be read.
std::map<std::string, std::set<std::string>> eventsByItem(const fs::path& root) {
    const ProgramRun snapshot = runBounded(root, {"snapshot"}, snapshotRequest);
    EXPECT_EQ(snapshot.err, "") << "no file may be unreadable";
    std::map<std::string, std::set<std::string>> byItem;
    for (const Json& record :
         documentOf(snapshot).value("feeds", Json::object()).value(key, Json::array())) {
        byItem[record.value("ravuItemId", "")].insert(record.value("uid", ""));
    }
    return byItem;
}

TEST(Faults, AKilledApplyLeavesWholeFilesAndLosesNoEvent) {
    TempDir dir;
    const fs::path root = dir.path() / "store";
    const sys_days day = today();
    const fs::path folder = makeCalendar(root, day);
    // Creates, and new exceptions in one series file, interleaved.
    const auto queue = [&](int round) {
        Json pending = Json::array();
        for (int i = 0; i < 150; ++i) {
            pending.push_back(
                create(std::to_string(round) + "-" + std::to_string(i), day + days{1 + i} + 14h));
            pending.push_back({{"op", "updateExternal"},
                               {"eventkitEventId", "local/calendar/series"},
                               {"occurrenceStart", isoText(day + days{i % 5} + 8h)},
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
        BackgroundRun run{root, {"apply"}, queue(round)};
        while (run.running() && itemFiles(folder).size() < target) {
            std::this_thread::sleep_for(1ms);
        }
        std::this_thread::sleep_for(
            std::chrono::microseconds{std::uniform_int_distribution<int>{0, 3000}(random)});
        killedMidway += run.kill();
        const auto byItem = eventsByItem(root);
        EXPECT_TRUE(byItem.contains("") && byItem.at("").contains("local/calendar/series"));
    }
    EXPECT_GT(killedMidway, 0) << "every run ended before it could be killed";

    // The host sends its first queue again: every item ends up with exactly one event.
    const Json result = documentOf(runBounded(root, {"apply"}, queue(0), 120s));
    for (const Json& status : statusesOf(result)) {
        EXPECT_EQ(status, "applied ");
    }
    const auto byItem = eventsByItem(root);
    for (int i = 0; i < 150; ++i) {
        const std::string item = "0-" + std::to_string(i);
        EXPECT_EQ(byItem.contains(item) ? byItem.at(item).size() : 0u, 1u) << item;
    }
}

TEST(Faults, TwoRunsCreatingTheSameItemsMakeOneEventEach) {
    Json pending = Json::array();
    for (int i = 0; i < 20; ++i) {
        pending.push_back(create("item-" + std::to_string(i), today() + days{2 + i} + 10h));
    }
    const std::string request = Json{{"pending", pending}}.dump();
    for (int round = 0; round < 3; ++round) {
        TempDir dir;
        const fs::path folder = makeCalendar(dir.path(), today());
        StartGate gate;
        BackgroundRun first{dir.path(), {"apply"}, request, {std::nullopt, &gate, {}}};
        BackgroundRun second{dir.path(), {"apply"}, request, {std::nullopt, &gate, {}}};
        gate.open();
        const Json one = documentOf(first.wait(60s)).value("writes", Json::array());
        const Json two = documentOf(second.wait(60s)).value("writes", Json::array());
        ASSERT_EQ(one.size(), 20u);
        ASSERT_EQ(two.size(), 20u);
        for (std::size_t i = 0; i < 20; ++i) {
            EXPECT_EQ(one[i].value("status", ""), "applied") << one[i];
            EXPECT_EQ(one[i].value("eventkitEventId", "1"), two[i].value("eventkitEventId", "2"))
                << "both runs report the one event of item-" << i;
        }
        EXPECT_EQ(itemFiles(folder).size(), 22u) << "round " << round;
    }
}

/// The directory store with a peer (khal, vdirsyncer) that saves `file` at the moment the run
/// hands a change over: after every look-up the change rests on, before the write. A run holds
/// the store's lock and reads every file without blocking, so nothing outside the process can
/// stop it at that point: the peer's save is made from inside.
class PeerSavesFirst final : public Store {
  public:
    PeerSavesFirst(VdirStore& store, fs::path file) : store_(store), file_(std::move(file)) {}
    std::string peerText;

    AuthorizationStatus authorizationStatus() const override {
        return store_.authorizationStatus();
    }
    bool requestFullAccess() override { return store_.requestFullAccess(); }
    std::vector<Calendar> calendars() const override { return store_.calendars(); }
    std::vector<Event> eventsMatching(const EventPredicate& predicate) const override {
        return store_.eventsMatching(predicate);
    }
    std::optional<Event> calendarItemWithIdentifier(std::string_view identifier) const override {
        return store_.calendarItemWithIdentifier(identifier);
    }
    Event newEvent() override { return store_.newEvent(); }
    WriteError beginChanges() override { return store_.beginChanges(); }
    WriteError saveEvent(Event& event, Span span, Changes changes) override {
        peerSaves();
        return store_.saveEvent(event, span, changes);
    }
    WriteError removeEvent(const Event& event, Span span) override {
        peerSaves();
        return store_.removeEvent(event, span);
    }

  private:
    void peerSaves() {
        peerText = readFile(file_);
        peerText.replace(peerText.find("SUMMARY:"), 8, "SUMMARY:Peer's ");
        writeFile(file_.parent_path() / ".peer", peerText);
        fs::rename(file_.parent_path() / ".peer", file_);
    }
    VdirStore& store_;
    fs::path file_;
};

TEST(Faults, APeerSavingBetweenReadAndWriteIsNeverOverwritten) {
    const sys_days day{date::year{2024} / 5 / 1};
    const Json entries = everyOp(day);
    const struct {
        Json entry;
        const char* file;
    } cases[] = {{entries[1], "solo.ics"},
                 {entries[2], "series.ics"},
                 {entries[3], "series.ics"},
                 {entries[4], "solo.ics"}};
    for (const auto& [entry, file] : cases) {
        SCOPED_TRACE(entry.dump());
        TempDir dir;
        const fs::path folder = makeCalendar(dir.path(), day);
        std::ostringstream diagnostics;
        VdirStore directory{dir.path(), diagnostics, utcZone()};
        PeerSavesFirst store{directory, folder / file};
        Context context{store, diagnostics, Instant{day - days{1}}, utcZone()};
        const auto result = runCommand("apply", context, [&] {
            return Json{{"pending", {entry}}};
        });
        ASSERT_TRUE(result);
        ASSERT_NE(store.peerText, "") << "the run never handed its change over";
        EXPECT_EQ(readFile(folder / file), store.peerText);
        EXPECT_EQ(result->value("deletes", Json::array()), Json::array())
            << "a refused removal is not reported as done";
        for (const Json& status : statusesOf(*result)) {
            EXPECT_NE(status.get<std::string>().find("transientError"), std::string::npos);
            EXPECT_NE(status.get<std::string>().find("changed by another program"),
                      std::string::npos);
        }
    }
}

TEST(Faults, AFullDiskRefusesWritesAndKeepsEveryFileWhole) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to mount a small file system";
    }
    TempDir dir;
    const fs::path disk = dir.path() / "disk";
    fs::create_directory(disk);
    if (::mount("tmpfs", disk.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64k") != 0) {
        GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
    }
    const struct Unmount {
        fs::path at;
        ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
    } unmount{disk};
    const fs::path root = disk / "store";
    const sys_days day = today();
    const fs::path folder = makeCalendar(root, day);
    const std::string series = readFile(folder / "series.ics");
    {
        std::ofstream filler{disk / "filler", std::ios::binary};
        const std::string block(4096, 'x');
        while (filler.write(block.data(), block.size())) {
        }
    }

    const Json result =
        documentOf(runBounded(root, {"apply"}, Json{{"pending", everyOp(day)}}.dump()));
    const Json statuses = statusesOf(result);
    ASSERT_EQ(statuses.size(), 4u) << result;
    for (const Json& status : statuses) {
        EXPECT_TRUE(status.get<std::string>().starts_with("transientError") &&
                    status.get<std::string>().find("No space left on device") != std::string::npos)
            << status;
    }
    EXPECT_EQ(result.value("deletes", Json::array()), Json::array({"local/calendar/solo"}))
        << "a removal needs no space";
    EXPECT_EQ(readFile(folder / "series.ics"), series);
    EXPECT_EQ(itemFiles(folder), std::set<std::string>{"series.ics"})
        << "no temporary file is left behind";
    EXPECT_EQ(eventsByItem(root).at("").size(), 1u);
}

TEST(Faults, AWriteReachesTheDiskBeforeItIsPublished) {
    TempDir dir;
    const sys_days day = today();
    const fs::path folder = makeCalendar(dir.path() / "store", day);
    const fs::path log = dir.path() / "sync.log";
    // The shim runs inside a sanitized program too, ahead of the sanitizer's own library.
    const char* asan = std::getenv("ASAN_OPTIONS");
    const RunOptions options{
        std::nullopt,
        nullptr,
        {{"LD_PRELOAD", RAVU_FSYNC_SHIM},
         {"RAVU_FSYNC_LOG", log.string()},
         {"ASAN_OPTIONS", std::string{asan ? asan : ""} + ":verify_asan_link_order=0"}}};
    Json pending = everyOp(day);
    pending.erase(pending.size() - 1);  // every entry left writes a file
    const Json result = documentOf(
        BackgroundRun{dir.path() / "store", {"apply"}, Json{{"pending", pending}}.dump(), options}
            .wait(60s));
    for (const Json& status : statusesOf(result)) {
        EXPECT_EQ(status, "applied ");
    }

    std::vector<std::string> lines;
    std::istringstream text{readFile(log)};
    for (std::string line; std::getline(text, line);) {
        lines.push_back(line);
    }
    int published = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::istringstream words{lines[i]};
        std::string verb, from, to;
        words >> verb >> from >> to;
        if (verb != "rename" || !to.ends_with(".ics")) {
            continue;
        }
        ++published;
        EXPECT_NE(std::find(lines.begin(), lines.begin() + static_cast<long>(i), "fsync " + from),
                  lines.begin() + static_cast<long>(i))
            << from << " was renamed before it was synced";
        const std::string folderLine = "fsync " + fs::path{to}.parent_path().string();
        EXPECT_NE(std::find(lines.begin() + static_cast<long>(i), lines.end(), folderLine),
                  lines.end())
            << "the folder of " << to << " was not synced after the rename";
    }
    EXPECT_EQ(published, 4) << readFile(log);
}

}  // namespace
}  // namespace ravu::testing

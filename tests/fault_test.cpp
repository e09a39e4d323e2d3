// Faults a run must come through with the store whole: being killed mid-queue, racing another
// run, a peer saving underneath it, calendars it may not write, a full disk, a store that
// disappears while it works.
#include <gtest/gtest.h>
#include <libical/ical.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include <date/date.h>
#include <nlohmann/json.hpp>

#include "apply/apply.h"
#include "convert/time.h"
#include "store/vdir/vdir_store.h"
#include "tests/support/background.h"

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
constexpr uid_t nobody = 65534;

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

/// Writes `<folder>/<uid>.ics`, one VEVENT with the given properties.
void writeEvent(const fs::path& folder, const std::string& uid,
                const std::vector<std::string>& properties) {
    std::string text =
        "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//ravu-calendar tests//EN\r\n"
        "BEGIN:VEVENT\r\nUID:" +
        uid + "\r\nDTSTAMP:20240101T000000Z\r\n";
    for (const std::string& property : properties) {
        text += property + "\r\n";
    }
    text += "END:VEVENT\r\nEND:VCALENDAR\r\n";
    writeFile(folder / (uid + ".ics"), text);
}

/// A store with the one calendar "local|local|Calendar"; returns its folder.
fs::path makeCalendar(const fs::path& root) {
    const fs::path folder = root / "local" / "calendar";
    writeFile(folder / "displayname", "Calendar\n");
    return folder;
}

/// A single event `solo` and a daily series `series` of five, from `day`.
void writeSoloAndSeries(const fs::path& folder, sys_days day) {
    writeEvent(folder, "solo",
               {"SUMMARY:Solo", "DTSTART:" + stamp(day + 9h), "DTEND:" + stamp(day + 10h)});
    writeEvent(folder, "series",
               {"SUMMARY:Series", "DTSTART:" + stamp(day + 8h), "DTEND:" + stamp(day + 8h + 30min),
                "RRULE:FREQ=DAILY;COUNT=5"});
}

Json create(const std::string& itemId, sys_seconds start) {
    return {{"op", "create"},
            {"itemId", itemId},
            {"logicalKey", key},
            {"startsAt", isoText(start)},
            {"endsAt", isoText(start + 1h)},
            {"title", itemId}};
}

/// One entry of each op against `solo` and the series of `writeSoloAndSeries`.
Json everyOp(sys_days day) {
    const Json occurrence = {{"eventkitEventId", "local/calendar/series"},
                             {"occurrenceStart", isoText(day + days{1} + 8h)}};
    Json updateExternal = occurrence;
    updateExternal.update({{"op", "updateExternal"}, {"title", "Moved"}});
    Json deleteExternal = occurrence;
    deleteExternal["op"] = "deleteExternal";
    return {{"pending",
             {create("new", day + 14h),
              {{"op", "update"},
               {"eventkitEventId", "local/calendar/solo"},
               {"itemId", "solo"},
               {"startsAt", isoText(day + 9h)}},
              updateExternal,
              deleteExternal,
              {{"op", "delete"}, {"eventkitEventId", "local/calendar/solo"}}}}};
}

Json listOf(const Json& document, const std::string& name) {
    return document.value(name, Json::array());
}

Json joined(Json list, const Json& more) {
    list.insert(list.end(), more.begin(), more.end());
    return list;
}

/// The item files of a folder; hidden names (temporary files, the lock) left out.
std::vector<std::string> itemFiles(const fs::path& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        const std::string name = entry.path().filename().string();
        if (!name.starts_with('.') && name.ends_with(".ics")) {
            names.push_back(name);
        }
    }
    return names;
}

/// Every file under `root` but the lock, with its content.
std::map<std::string, std::string> filesOf(const fs::path& root) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file() && entry.path().filename() != ".ravu-calendar.lock") {
            files[fs::relative(entry.path(), root).string()] = readFile(entry.path());
        }
    }
    return files;
}

/// A file a writer finished: the whole of one calendar, which libical reads.
bool wholeItem(const std::string& text) {
    const std::unique_ptr<icalcomponent, void (*)(icalcomponent*)> calendar{
        icalparser_parse_string(text.c_str()), icalcomponent_free};
    return text.ends_with("END:VCALENDAR\r\n") && calendar &&
           icalcomponent_get_first_component(calendar.get(), ICAL_VEVENT_COMPONENT) != nullptr;
}

/// Waits, at most `limit`, until `done` holds or the run has ended.
template <typename Condition>
void waitUntil(BackgroundRun& run, Condition done, std::chrono::milliseconds limit = 60s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (run.running() && !done() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
}

TEST(Faults, AKilledApplyLeavesWholeFilesAndLosesNoEvent) {
    TempDir dir;
    const fs::path root = dir.path() / "store";
    const fs::path folder = makeCalendar(root);
    const sys_days day = today();
    constexpr int before = 40;
    for (int i = 0; i < before; ++i) {
        writeEvent(folder, "before-" + std::to_string(i),
                   {"SUMMARY:Before", "DTSTART:" + stamp(day + days{1 + i} + 9h),
                    "DTEND:" + stamp(day + days{1 + i} + 10h)});
    }
    writeEvent(folder, "series",
               {"SUMMARY:Series", "DTSTART:" + stamp(day + days{1} + 8h),
                "DTEND:" + stamp(day + days{1} + 8h + 30min), "RRULE:FREQ=DAILY;COUNT=60"});

    // Creates, rewrites of single events and new exceptions in one series file, interleaved.
    const auto queue = [&](int round) {
        Json pending = Json::array();
        for (int i = 0; i < 150; ++i) {
            const std::string n = std::to_string(i);
            pending.push_back(create(std::to_string(round) + "-" + n, day + days{1 + i} + 14h));
            const sys_seconds start = day + days{1 + i % before} + 9h;
            pending.push_back(
                {{"op", "update"},
                 {"eventkitEventId", "local/calendar/before-" + std::to_string(i % before)},
                 {"itemId", "before-" + std::to_string(i % before)},
                 {"title", "Edit " + n},
                 {"startsAt", isoText(start)},
                 {"endsAt", isoText(start + 1h)}});
            pending.push_back({{"op", "updateExternal"},
                               {"eventkitEventId", "local/calendar/series"},
                               {"occurrenceStart", isoText(day + days{1 + i % 60} + 8h)},
                               {"title", "Moved " + n}});
        }
        return Json{{"pending", pending}}.dump();
    };
    // Every file whole and every event there; gives the identifiers of each item's events.
    const auto checkStore = [&] {
        for (const std::string& name : itemFiles(folder)) {
            EXPECT_TRUE(wholeItem(readFile(folder / name))) << name;
        }
        const ProgramRun snapshot = runBounded(root, {"snapshot"}, snapshotRequest);
        EXPECT_EQ(snapshot.err, "") << "no file may be unreadable";
        const Json feed =
            documentOf(snapshot).value("feeds", Json::object()).value(key, Json::array());
        std::set<std::string> uids;
        std::map<std::string, std::set<std::string>> uidsOfItem;
        for (const Json& record : feed) {
            uids.insert(record.value("uid", ""));
            if (record.contains("ravuItemId")) {
                uidsOfItem[record["ravuItemId"]].insert(record.value("uid", ""));
            }
        }
        for (int i = 0; i < before; ++i) {
            EXPECT_TRUE(uids.contains("local/calendar/before-" + std::to_string(i))) << i;
        }
        EXPECT_TRUE(uids.contains("local/calendar/series"));
        for (const auto& [item, itsUids] : uidsOfItem) {
            EXPECT_EQ(itsUids.size(), 1u) << item;
        }
        return uidsOfItem;
    };

    const unsigned seed = std::random_device{}();  // a fresh one each time; failures name it
    SCOPED_TRACE("random seed " + std::to_string(seed));
    std::mt19937 random{seed};
    int killedMidway = 0;
    for (int round = 0; round < 4; ++round) {
        const std::size_t target =
            itemFiles(folder).size() + std::uniform_int_distribution<std::size_t>{1, 120}(random);
        BackgroundRun run{root, {"apply"}, queue(round)};
        waitUntil(run, [&] { return itemFiles(folder).size() >= target; });
        std::this_thread::sleep_for(
            std::chrono::microseconds{std::uniform_int_distribution<int>{0, 3000}(random)});
        killedMidway += run.kill();
        checkStore();
    }
    EXPECT_GT(killedMidway, 0) << "every run ended before it could be killed";

    // The host sends its first queue again: every item ends up with exactly one event.
    BackgroundRun again{root, {"apply"}, queue(0)};
    const Json result = documentOf(again.wait(120s));
    ASSERT_EQ(listOf(result, "writes").size(), 300u);
    for (const Json& outcome : joined(listOf(result, "writes"), listOf(result, "external"))) {
        EXPECT_EQ(outcome.value("status", ""), "applied") << outcome;
    }
    const auto uidsOfItem = checkStore();
    for (int i = 0; i < 150; ++i) {
        EXPECT_TRUE(uidsOfItem.contains("0-" + std::to_string(i))) << i;
    }
}

TEST(Faults, TwoRunsCreatingTheSameItemsMakeOneEventEach) {
    const sys_days day = today();
    Json pending = Json::array();
    for (int i = 0; i < 20; ++i) {
        pending.push_back(create("item-" + std::to_string(i), day + days{2 + i} + 10h));
    }
    const std::string request = Json{{"pending", pending}}.dump();
    for (int round = 0; round < 3; ++round) {
        TempDir dir;
        const fs::path root = dir.path() / "store";
        const fs::path folder = makeCalendar(root);
        StartGate gate;
        BackgroundRun first{root, {"apply"}, request, {.user = std::nullopt, .gate = &gate}};
        BackgroundRun second{root, {"apply"}, request, {.user = std::nullopt, .gate = &gate}};
        gate.open();
        const Json one = listOf(documentOf(first.wait(60s)), "writes");
        const Json two = listOf(documentOf(second.wait(60s)), "writes");
        ASSERT_EQ(one.size(), 20u);
        ASSERT_EQ(two.size(), 20u);
        for (std::size_t i = 0; i < 20; ++i) {
            EXPECT_EQ(one[i].value("status", ""), "applied") << one[i];
            EXPECT_EQ(one[i].value("eventkitEventId", "1"), two[i].value("eventkitEventId", "2"))
                << "both runs report the one event of item-" << i;
        }
        EXPECT_EQ(itemFiles(folder).size(), 20u) << "round " << round;
    }
}

/// The directory store with a peer (khal, vdirsyncer) that saves `file` at the moment the run
/// hands a change over: after every look-up the change rests on, before the write. A run holds
/// the store's lock from its first look-up and reads every file without blocking, so nothing
/// outside the process can stop it at that point: the peer's save is made from inside.
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
    const Json entries = everyOp(day)["pending"];
    const struct {
        Json entry;
        const char* file;
        const char* list;
    } cases[] = {{entries[1], "solo.ics", "writes"},
                 {entries[2], "series.ics", "external"},
                 {entries[3], "series.ics", "external"},
                 {entries[4], "solo.ics", "deletes"}};
    for (const auto& [entry, file, list] : cases) {
        SCOPED_TRACE(entry.dump());
        TempDir dir;
        const fs::path folder = makeCalendar(dir.path());
        writeSoloAndSeries(folder, day);
        std::ostringstream diagnostics;
        VdirStore directory{dir.path(), diagnostics, utcZone()};
        PeerSavesFirst store{directory, folder / file};
        Context context{store, diagnostics, Instant{day - days{1}}, utcZone()};
        const Json result = cmdApply(context, {{"pending", {entry}}});

        ASSERT_NE(store.peerText, "") << "the run never handed its change over";
        EXPECT_EQ(readFile(folder / file), store.peerText);
        const Json outcomes = listOf(result, list);
        if (std::string{list} == "deletes") {
            EXPECT_EQ(outcomes, Json::array()) << "a refused removal is not reported as done";
            continue;
        }
        ASSERT_EQ(outcomes.size(), 1u) << result;
        EXPECT_EQ(outcomes[0].value("status", ""), "transientError");
        EXPECT_NE(outcomes[0].value("error", "").find("changed by another program"),
                  std::string::npos)
            << outcomes[0];
    }
}

TEST(Faults, CalendarsThatMayNotBeWrittenTakeNoChange) {
    // Root ignores permission bits: as root the program runs as nobody on a store nobody owns.
    const struct {
        const char* name;
        bool marker;
        fs::perms rootMode;
        fs::perms calendarMode;
        bool createIsTried;  ///< a calendar that takes no changes gets no new event
    } cases[] = {{"the read-only marker", true, fs::perms{0700}, fs::perms{0700}, false},
                 {"a calendar folder without write permission", false, fs::perms{0700},
                  fs::perms{0500}, false},
                 {"a root without write permission, so no lock", false, fs::perms{0500},
                  fs::perms{0700}, true}};
    std::string skipped;
    for (const auto& [name, marker, rootMode, calendarMode, createIsTried] : cases) {
        SCOPED_TRACE(name);
        TempDir dir;
        const fs::path root = dir.path() / "store";
        const fs::path folder = makeCalendar(root);
        writeSoloAndSeries(folder, today());
        RunOptions options;
        if (marker) {
            writeFile(folder / "readonly", "");
        } else if (::geteuid() == 0) {
            options.user = nobody;
            for (const auto& entry : fs::recursive_directory_iterator(dir.path())) {
                ASSERT_EQ(::lchown(entry.path().c_str(), nobody, nobody), 0);
            }
            ASSERT_EQ(::lchown(dir.path().c_str(), nobody, nobody), 0);
        }
        fs::permissions(folder, calendarMode);
        fs::permissions(root, rootMode);
        const auto files = filesOf(root);

        const ProgramRun run =
            BackgroundRun{root, {"apply"}, everyOp(today()).dump(), options}.wait(60s);
        if (run.status == BackgroundRun::cannotSwitchUser) {
            skipped += std::string{" "} + name + ";";
            continue;
        }
        const Json result = documentOf(run);
        EXPECT_EQ(filesOf(root), files);
        const Json writes = listOf(result, "writes");
        ASSERT_EQ(writes.size(), createIsTried ? 2u : 1u) << result;
        EXPECT_EQ(writes.back().value("eventkitEventId", ""), "local/calendar/solo");
        EXPECT_EQ(listOf(result, "external").size(), 2u) << result;
        for (const Json& outcome : joined(writes, listOf(result, "external"))) {
            EXPECT_EQ(outcome.value("status", ""), "transientError") << outcome;
            EXPECT_NE(outcome.value("error", ""), "") << outcome;
        }
        EXPECT_EQ(listOf(result, "deletes"), Json::array());
    }
    if (!skipped.empty()) {
        GTEST_SKIP() << "cannot run the program as nobody here; not run:" << skipped;
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
    const fs::path folder = makeCalendar(root);
    const sys_days day = today();
    writeSoloAndSeries(folder, day);
    const std::string series = readFile(folder / "series.ics");
    {
        std::ofstream filler{disk / "filler", std::ios::binary};
        const std::string block(4096, 'x');
        while (filler.write(block.data(), block.size())) {
        }
    }

    const Json result = documentOf(runBounded(root, {"apply"}, everyOp(day).dump()));
    const Json writes = listOf(result, "writes");
    ASSERT_EQ(writes.size(), 2u) << result;
    EXPECT_EQ(writes[0].value("eventkitEventId", "?"), "");
    for (const Json& outcome : joined(writes, listOf(result, "external"))) {
        EXPECT_EQ(outcome.value("status", ""), "transientError") << outcome;
        EXPECT_NE(outcome.value("error", "").find("No space left on device"), std::string::npos)
            << outcome;
    }
    EXPECT_EQ(listOf(result, "external").size(), 2u) << result;
    EXPECT_EQ(listOf(result, "deletes"), Json::array({"local/calendar/solo"}))
        << "a removal needs no space";
    EXPECT_EQ(readFile(folder / "series.ics"), series);
    std::set<std::string> left;
    for (const auto& entry : fs::directory_iterator(folder)) {
        left.insert(entry.path().filename().string());
    }
    EXPECT_EQ(left, (std::set<std::string>{"displayname", "series.ics"}))
        << "no temporary file is left behind";

    const ProgramRun snapshot = runBounded(root, {"snapshot"}, snapshotRequest);
    EXPECT_EQ(snapshot.err, "");
    EXPECT_EQ(documentOf(snapshot).value("feeds", Json::object()).value(key, Json::array()).size(),
              5u);
}

TEST(Faults, AStoreThatVanishesMidRunStillGetsAnAnswer) {
    const sys_days day = today();
    Json pending = Json::array();
    for (int i = 0; i < 150; ++i) {
        pending.push_back(create("item-" + std::to_string(i), day + days{1 + i} + 10h));
    }
    const std::string request = Json{{"pending", pending}}.dump();
    const unsigned seed = std::random_device{}();  // a fresh one each time; failures name it
    SCOPED_TRACE("random seed " + std::to_string(seed));
    std::mt19937 random{seed};
    int vanishedMidway = 0;
    for (int round = 0; round < 3; ++round) {
        TempDir dir;
        const fs::path root = dir.path() / "store";
        const fs::path folder = makeCalendar(root);
        BackgroundRun run{root, {"apply"}, request};
        const std::size_t target = std::uniform_int_distribution<std::size_t>{1, 60}(random);
        waitUntil(run, [&] { return itemFiles(folder).size() >= target; });
        // The run may add a file while the tree goes: remove until nothing is left.
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        std::error_code error;
        while (fs::remove_all(root, error), fs::exists(root)) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << error.message();
        }
        vanishedMidway += run.running();

        const Json result = documentOf(run.wait(60s));
        for (const Json& write : listOf(result, "writes")) {
            const std::string status = write.value("status", "");
            EXPECT_TRUE(status == "applied" ||
                        (status == "transientError" && write.contains("error")))
                << write;
        }
        EXPECT_TRUE(fs::is_empty(dir.path())) << "nothing is made again once the store is gone";
    }
    EXPECT_GT(vanishedMidway, 0) << "every run ended before its store went";
}

}  // namespace
}  // namespace ravu::testing

// What reaches the disk, and when: a write is flushed before it is renamed into place and its
// folder after, and a peer that saves an item while a run writes it never loses its edit. Neither
// shows in what a later read sees, so the test watches the calls the store makes: the functions
// below stand in for the C library's in this test program and pass every call on.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <sstream>

#include "store/vdir/vdir_store.h"
#include "tests/support/instants.h"
#include "tests/support/process.h"

namespace {

std::vector<std::string> calls;
bool watching = false;
std::function<void()> beforeTemporaryFile;

template <typename Function>
Function* real(const char* name) {
    return reinterpret_cast<Function*>(dlsym(RTLD_NEXT, name));
}

std::string pathOf(int fd) {
    char path[4096];
    const ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path, sizeof path);
    return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : std::string{};
}

void note(std::string call) {
    if (watching) {
        calls.push_back(std::move(call));
    }
}

}  // namespace

extern "C" int fsync(int fd) {
    note("fsync " + pathOf(fd));
    return real<int(int)>("fsync")(fd);
}

extern "C" int rename(const char* from, const char* to) noexcept {
    note(std::string{"rename "} + from + " " + to);
    return real<int(const char*, const char*)>("rename")(from, to);
}

extern "C" int renameat2(int fromDir, const char* from, int toDir, const char* to,
                         unsigned flags) noexcept {
    note(std::string{"rename "} + from + " " + to);
    return real<int(int, const char*, int, const char*, unsigned)>("renameat2")(fromDir, from,
                                                                                toDir, to, flags);
}

extern "C" int mkostemp(char* pattern, int flags) {
    if (beforeTemporaryFile) {
        std::exchange(beforeTemporaryFile, nullptr)();
    }
    return real<int(char*, int)>("mkostemp")(pattern, flags);
}

namespace ravu::testing {
namespace {

namespace fs = std::filesystem;

const std::string series =
    "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//test//EN\r\nBEGIN:VEVENT\r\nUID:s\r\n"
    "DTSTART:20300107T090000Z\r\nDTEND:20300107T100000Z\r\nRRULE:FREQ=WEEKLY;COUNT=4\r\n"
    "SUMMARY:Weekly\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n";

class Durability : public ::testing::Test {
  protected:
    void SetUp() override {
        writeFile(folder() / "displayname", "Calendar");
        writeFile(folder() / "s.ics", series);
    }
    fs::path folder() const { return dir.path() / "local" / "calendar"; }
    std::unique_ptr<VdirStore> open() {
        return std::make_unique<VdirStore>(dir.path(), diagnostics, zone("UTC"));
    }

    TempDir dir;
    std::ostringstream diagnostics;
};

TEST_F(Durability, EveryWriteIsFlushedBeforeItsRenameAndItsFolderAfter) {
    auto store = open();
    ASSERT_EQ(store->beginChanges(), std::nullopt);
    calls.clear();
    watching = true;
    Event created = store->newEvent();
    created.calendarId = "local/calendar";
    created.title = "New";
    created.startDate = at("2030-01-08T09:00:00Z");
    created.endDate = at("2030-01-08T10:00:00Z");
    EXPECT_EQ(store->saveEvent(created, Span::futureEvents, Changes::all()), std::nullopt);
    Event whole = *store->calendarItemWithIdentifier("local/calendar/s");
    whole.title = "Renamed";
    EXPECT_EQ(store->saveEvent(whole, Span::futureEvents, {.title = true}), std::nullopt);
    std::vector<Event> found = store->eventsMatching(
        predicateForEvents(at("2030-01-14T00:00:00Z"), at("2030-01-15T00:00:00Z"), std::nullopt));
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(store->removeEvent(found[0], Span::thisEvent), std::nullopt);
    watching = false;

    int renames = 0;
    for (std::size_t i = 0; i < calls.size(); ++i) {
        std::istringstream words{calls[i]};
        std::string call, from, to;
        words >> call >> from >> to;
        if (call != "rename") {
            continue;
        }
        ++renames;
        const auto before =
            std::find(calls.begin(), calls.begin() + static_cast<long>(i), "fsync " + from);
        EXPECT_NE(before, calls.begin() + static_cast<long>(i)) << "not flushed: " << calls[i];
        const auto after = std::find(calls.begin() + static_cast<long>(i), calls.end(),
                                     "fsync " + fs::path{to}.parent_path().string());
        EXPECT_NE(after, calls.end()) << "folder not flushed after " << calls[i];
    }
    EXPECT_EQ(renames, 3);
}

TEST_F(Durability, APeerSavingWhileTheRunWritesKeepsItsEdit) {
    const std::string peer = series.substr(0, series.find("SUMMARY")) +
                             "SUMMARY:Changed by a peer\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n";
    auto store = open();
    Event whole = *store->calendarItemWithIdentifier("local/calendar/s");
    whole.title = "Ours";
    // After the run has read the item again under its lock, right before it writes its copy.
    beforeTemporaryFile = [&] { writeFile(folder() / "s.ics", peer); };
    const WriteError error = store->saveEvent(whole, Span::futureEvents, {.title = true});
    beforeTemporaryFile = nullptr;
    ASSERT_TRUE(error);
    EXPECT_NE(error->message.find("changed by another program"), std::string::npos)
        << error->message;
    EXPECT_EQ(readFile(folder() / "s.ics"), peer);
}

}  // namespace
}  // namespace ravu::testing

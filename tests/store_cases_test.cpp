// Item files read by the directory store, each alone in a store, as data: every `<case>.ics` of
// the folders below (with the user's zone in `<case>.zone`) must give what `<case>.expected.json`
// says: the occurrences over the folder's window (the first five, and their count when there are
// more) and the standard-error lines. `tests/store_cases/` holds files as peers write them,
// `tests/cases/hostile/` hostile and unusual ones (see its README). RAVU_UPDATE_CASES=1 writes the
// expected files instead; read every change to them before committing it. Last, what peers and
// killed runs leave beside the item files.
#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <sstream>

#include <nlohmann/json.hpp>

#include "convert/time.h"
#include "store/vdir/vdir_store.h"
#include "tests/support/instants.h"
#include "tests/support/process.h"

namespace ravu::testing {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

struct Folder {
    const char* path;
    const char* from;
    const char* to;
    std::time_t
        fileTime;  ///< every file's mtime, so that the later of it and LAST-MODIFIED is known
    long fileNanoseconds;
    const char* zone;  ///< when the case names none
};

const Folder folders[] = {
    {"tests/store_cases", "2024-01-01T00:00:00Z", "2025-01-01T00:00:00Z", 1704067200, 123456000,
     "UTC"},
    {"tests/cases/hostile", "2026-11-07T00:00:00Z", "2028-01-11T00:00:00Z", 1764547200, 0,
     "Europe/Berlin"},
};

/// What the store reports of one case, in the expected files' form.
Json readCase(const Folder& folder, fs::path ics, const fs::path& root) {
    const fs::path file = root / "local/cal" / ics.filename();
    writeFile(file, readFile(ics));
    const timespec mtime[2] = {{folder.fileTime, folder.fileNanoseconds},
                               {folder.fileTime, folder.fileNanoseconds}};
    ::utimensat(AT_FDCWD, file.c_str(), mtime, 0);
    std::string name = folder.zone;
    std::istringstream{readFile(ics.replace_extension(".zone"))} >> name;
    std::ostringstream diagnostics;
    const VdirStore store{root, diagnostics, *findZone(name), systemClock()};
    const auto found = *store.eventsMatching(
        predicateForEvents(*parseISO(folder.from), *parseISO(folder.to), std::nullopt));
    Json events = Json::array();
    for (std::size_t i = 0; i < std::min<std::size_t>(found.size(), 5); ++i) {
        const Event& e = found[i];
        EXPECT_EQ(e.identifier, "local/cal/" + ics.stem().string());
        events.push_back(
            {{"start", iso(*e.startDate)},
             {"end", iso(*e.endDate)},
             {"allDay", e.allDay},
             {"title", orNull(e.title)},
             {"location", orNull(e.location)},
             {"url", orNull(e.url)},
             {"timeZone", orNull(e.timeZone)},
             {"occurrenceDate", e.occurrenceDate ? Json(iso(*e.occurrenceDate)) : Json()},
             {"lastModified",
              date::format("%FT%TZ", date::floor<std::chrono::microseconds>(*e.lastModified))}});
    }
    Json result = {{"events", events}};
    if (found.size() > events.size()) {
        result["count"] = found.size();
    }
    if (!diagnostics.str().empty()) {
        result["diagnostics"] = diagnostics.str();
    }
    return result;
}

TEST(StoreCases, ItemFilesReadAsExpected) {
    for (const Folder& folder : folders) {
        int seen = 0;
        for (fs::path ics : listed(fs::path{RAVU_SOURCE_DIR} / folder.path)) {
            if (ics.extension() != ".ics") {
                continue;
            }
            ++seen;
            SCOPED_TRACE(ics.string());
            TempDir root;
            const Json found = readCase(folder, ics, root.path());
            const fs::path expected = ics.replace_extension(".expected.json");
            if (std::getenv("RAVU_UPDATE_CASES")) {
                writeFile(expected, found.dump(2) + "\n");
            }
            EXPECT_EQ(found, Json::parse(readFile(expected))) << found.dump(2);
        }
        EXPECT_GT(seen, 10);
    }
}

TEST(StoreCases, WhatPeersAndKilledRunsLeaveBehind) {
    TempDir dir;
    const fs::path folder = dir.path() / "local" / "cal";
    // A temporary file of a run killed two hours ago goes; one of a run writing now stays.
    for (const char* name : {".ravu-calendar-Ab12Cd", ".ravu-calendar-Ef34Gh"}) {
        writeFile(folder / name, "half");
    }
    fs::last_write_time(folder / ".ravu-calendar-Ab12Cd",
                        fs::file_time_type::clock::now() - std::chrono::hours{2});
    writeFile(dir.path() / "secret", "not a title");
    fs::create_symlink(dir.path() / "secret", folder / "displayname");

    std::ostringstream told;
    VdirStore store{dir.path(), told, zone("UTC"), systemClock()};
    EXPECT_EQ(store.calendars(Listing::names)->at(0).title, "cal")
        << "a displayname link is not followed";
    EXPECT_FALSE(store.calendarItemWithIdentifier("local/cal/" + std::string(300, 'x')));
    ASSERT_EQ(store.beginChanges(), std::nullopt);
    EXPECT_FALSE(fs::exists(folder / ".ravu-calendar-Ab12Cd"));
    EXPECT_TRUE(fs::exists(folder / ".ravu-calendar-Ef34Gh"));
    // The first and last moments of the years the store can write, and the one after them.
    for (const char* start :
         {"0001-01-01T00:00:00Z", "3000-12-31T23:00:00Z", "3001-01-01T00:00:00Z"}) {
        Event event = store.newEvent();
        event.calendarId = "local/cal";
        event.startDate = event.endDate = at(start);
        const bool saved = !store.saveEvent(event, Span::futureEvents, Changes::all());
        EXPECT_EQ(saved, std::string_view{start} < "3001") << start;
        EXPECT_TRUE(!saved || store.calendarItemWithIdentifier(event.identifier)->startDate ==
                                  event.startDate)
            << start;
    }
    EXPECT_EQ(told.str(), "") << "a name too long for a file names no unreadable file";
}

}  // namespace
}  // namespace ravu::testing

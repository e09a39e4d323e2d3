// Item files as peers write them, read by the directory store: each `store_cases/<case>.ics`
// (with the user's zone in `<case>.zone`, UTC when there is none) must give the occurrences of
// `<case>.expected.json` over 2024. RAVU_UPDATE_CASES=1 writes the expected files instead; read
// every change to them before committing it.
#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <sstream>

#include <nlohmann/json.hpp>

#include "convert/time.h"
#include "store/vdir/vdir_store.h"
#include "tests/support/process.h"

namespace ravu::testing {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

Json orNull(const auto& value) {
    return value ? Json(*value) : Json();
}

/// What the store reports of one case, in the expected files' form.
Json readCase(fs::path ics, const fs::path& root) {
    const fs::path file = root / "local/cal" / ics.filename();
    writeFile(file, readFile(ics));
    // A fixed file time, so that the later of it and LAST-MODIFIED is known: 2024-01-01.
    const timespec mtime[2] = {{1704067200, 123456000}, {1704067200, 123456000}};
    ::utimensat(AT_FDCWD, file.c_str(), mtime, 0);
    std::istringstream zoneName{readFile(ics.replace_extension(".zone"))};
    std::string name = "UTC";
    zoneName >> name;
    std::ostringstream diagnostics;
    const VdirStore store{root, diagnostics, *findZone(name)};
    Json events = Json::array();
    for (const Event& e : store.eventsMatching(predicateForEvents(
             *parseISO("2024-01-01T00:00:00Z"), *parseISO("2025-01-01T00:00:00Z"), {}))) {
        EXPECT_EQ(e.identifier, "local/cal/" + ics.stem().string());
        events.push_back(
            {{"start", iso(*e.startDate)},
             {"end", iso(*e.endDate)},
             {"allDay", e.allDay},
             {"title", orNull(e.title)},
             {"location", orNull(e.location)},
             {"timeZone", orNull(e.timeZone)},
             {"occurrenceDate", e.occurrenceDate ? Json(iso(*e.occurrenceDate)) : Json()},
             {"lastModified",
              date::format("%FT%TZ", date::floor<std::chrono::microseconds>(*e.lastModified))}});
    }
    Json result = {{"events", events}};
    if (!diagnostics.str().empty()) {
        result["diagnostics"] = diagnostics.str();
    }
    return result;
}

TEST(StoreCases, ItemFilesReadAsExpected) {
    int seen = 0;
    for (const auto& entry :
         fs::directory_iterator(fs::path{RAVU_SOURCE_DIR} / "tests/store_cases")) {
        if (entry.path().extension() != ".ics") {
            continue;
        }
        ++seen;
        SCOPED_TRACE(entry.path().filename().string());
        TempDir root;
        const Json found = readCase(entry.path(), root.path());
        const fs::path expected = fs::path{entry.path()}.replace_extension(".expected.json");
        if (std::getenv("RAVU_UPDATE_CASES")) {
            writeFile(expected, found.dump(2) + "\n");
        }
        EXPECT_EQ(found, Json::parse(readFile(expected))) << found.dump(2);
    }
    EXPECT_GT(seen, 10);
}

}  // namespace
}  // namespace ravu::testing

// Item files as peers write them, read by the directory store: each `store_cases/<case>.ics`
// (with the user's zone in `<case>.zone`, UTC when there is none) must give the occurrences of
// `<case>.expected.json` over 2024. RAVU_UPDATE_CASES=1 writes the expected files instead; read
// every change to them before committing it.
#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include <nlohmann/json.hpp>

#include "convert/time.h"
#include "store/vdir/vdir_store.h"
#include "tests/support/process.h"

namespace ravu::testing {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

std::string microseconds(Instant instant) {
    return date::format("%FT%TZ", date::floor<std::chrono::microseconds>(instant));
}

Json optionalText(const std::optional<std::string>& text) {
    return text ? Json(*text) : Json();
}

/// What the store reports of one case, in the expected files' form.
Json readCase(const fs::path& ics, const fs::path& home) {
    const std::string name = ics.stem().string();
    const fs::path file = home / "local/cal" / (name + ".ics");
    writeFile(file, readFile(ics));
    // A fixed file time, so that the later of it and LAST-MODIFIED is known.
    const timespec mtime[2] = {{1704067200, 123456000}, {1704067200, 123456000}};  // 2024-01-01
    ::utimensat(AT_FDCWD, file.c_str(), mtime, 0);
    fs::path zoneFile = ics;
    const std::string zoneName =
        fs::exists(zoneFile.replace_extension(".zone")) ? readFile(zoneFile) : "UTC";
    const TimeZone* zone = findZone(zoneName.substr(0, zoneName.find('\n')));
    std::ostringstream diagnostics;
    const VdirStore store{home, diagnostics, *zone};
    Json events = Json::array();
    for (const Event& e : store.eventsMatching(predicateForEvents(
             *parseISO("2024-01-01T00:00:00Z"), *parseISO("2025-01-01T00:00:00Z"), {}))) {
        EXPECT_EQ(e.identifier, "local/cal/" + name);
        events.push_back(
            {{"start", iso(*e.startDate)},
             {"end", iso(*e.endDate)},
             {"allDay", e.allDay},
             {"title", optionalText(e.title)},
             {"location", optionalText(e.location)},
             {"timeZone", optionalText(e.timeZone)},
             {"occurrenceDate", e.occurrenceDate ? Json(iso(*e.occurrenceDate)) : Json()},
             {"lastModified", microseconds(*e.lastModified)}});
    }
    Json result = {{"events", events}};
    if (!diagnostics.str().empty()) {
        result["diagnostics"] = diagnostics.str();
    }
    return result;
}

TEST(StoreCases, ItemFilesReadAsExpected) {
    const fs::path cases = fs::path{RAVU_SOURCE_DIR} / "tests/store_cases";
    const bool update = std::getenv("RAVU_UPDATE_CASES") != nullptr;
    int seen = 0;
    for (const auto& entry : fs::directory_iterator(cases)) {
        if (entry.path().extension() != ".ics") {
            continue;
        }
        ++seen;
        SCOPED_TRACE(entry.path().filename().string());
        TempDir home;
        const Json found = readCase(entry.path(), home.path());
        fs::path expected = entry.path();
        expected.replace_extension(".expected.json");
        if (update) {
            writeFile(expected, found.dump(2) + "\n");
        } else {
            EXPECT_EQ(found, Json::parse(readFile(expected))) << found.dump(2);
        }
    }
    EXPECT_GT(seen, 10);
}

}  // namespace
}  // namespace ravu::testing

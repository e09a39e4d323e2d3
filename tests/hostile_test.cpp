// Hostile and unusual item files (tests/cases/hostile/, see its README): each one alone in a
// store is read over a snapshot window, and what the store reports and tells must be what
// `<file>.expected.json` says: how many events and occurrences, the first few, and the
// standard-error lines. RAVU_UPDATE_CASES=1 writes the expected files instead; read every change
// to them before committing it. Limits of time and memory live in scripts/hostile.sh.
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

const fs::path cases = fs::path{RAVU_SOURCE_DIR} / "tests/cases/hostile";

Json found(const fs::path& ics) {
    TempDir root;
    const fs::path file = root.path() / "local/calendar" / ics.filename();
    writeFile(file, readFile(ics));
    const timespec mtime[2] = {{1764547200, 0}, {1764547200, 0}};  // 2025-12-01
    ::utimensat(AT_FDCWD, file.c_str(), mtime, 0);
    std::ostringstream diagnostics;
    const VdirStore store{root.path(), diagnostics, *findZone("Europe/Berlin")};
    const auto events = store.eventsMatching(predicateForEvents(
        *parseISO("2026-11-07T00:00:00Z"), *parseISO("2028-01-11T00:00:00Z"), std::nullopt));
    Json first = Json::array();
    for (std::size_t i = 0; i < std::min<std::size_t>(events.size(), 5); ++i) {
        const Event& e = events[i];
        first.push_back(iso(*e.startDate) + " " + iso(*e.endDate) + (e.allDay ? " all-day " : " ") +
                        "[" + e.title.value_or("") + "] [" + e.location.value_or("") + "] [" +
                        e.url.value_or("") + "]");
    }
    return {{"count", events.size()}, {"first", first}, {"told", diagnostics.str()}};
}

class Hostile : public ::testing::TestWithParam<std::string> {};

TEST_P(Hostile, IsReadAsExpected) {
    const fs::path ics = cases / (GetParam() + ".ics");
    const fs::path expected = cases / (GetParam() + ".expected.json");
    const Json result = found(ics);
    if (std::getenv("RAVU_UPDATE_CASES")) {
        writeFile(expected, result.dump(2) + "\n");
    }
    EXPECT_EQ(result, Json::parse(readFile(expected))) << result.dump(2);
}

std::vector<std::string> names() {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator{cases}) {
        if (entry.path().extension() == ".ics") {
            found.push_back(entry.path().stem().string());
        }
    }
    std::sort(found.begin(), found.end());
    return found;
}

INSTANTIATE_TEST_SUITE_P(Files, Hostile, ::testing::ValuesIn(names()), [](const auto& info) {
    std::string name = info.param;
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
});

}  // namespace
}  // namespace ravu::testing

// Golden cases: tests/cases/<word>/<case>/ holds a directory store (`store/`), the request, and
// the whole document the command must answer (see tests/cases/README.md). Each case runs the
// command in-process against a copy of its store, with a fixed clock and the case's zone.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <sstream>

#include "cli/dispatch.h"
#include "cli/json_channel.h"
#include "store/vdir/vdir_store.h"
#include "tests/support/instants.h"
#include "tests/support/items.h"
#include "tests/support/process.h"

namespace ravu::testing {
namespace {

namespace fs = std::filesystem;

const fs::path cases = fs::path{RAVU_SOURCE_DIR} / "tests" / "cases";
// The store reports the later of LAST-MODIFIED and the file's time: fixture files are older
// than anything the cases stamp.
const auto fixtureTime = fs::file_time_type::clock::from_sys(
    std::chrono::sys_seconds{std::chrono::sys_days{std::chrono::year{2026} / 1 / 1}});

std::vector<fs::path> caseFolders() {
    std::vector<fs::path> folders;
    for (const char* word : {"apply", "calendars", "permission", "snapshot", "status"}) {
        std::ranges::copy(listed(cases / word), std::back_inserter(folders));
    }
    return folders;
}

Json readJson(const fs::path& file) {
    return fs::exists(file) ? Json::parse(readFile(file)) : Json::object();
}

void ageFiles(const fs::path& root) {
    std::error_code missing;  // a case without a store
    for (const auto& entry : fs::recursive_directory_iterator(root, missing)) {
        fs::last_write_time(entry.path(), fixtureTime);
    }
}

/// The document of one in-process run, as the host would parse it, every UUID made `<uuid>`.
Json run(const std::string& word, const fs::path& root, const TimeZone& zone, const Json& request,
         std::ostream& diagnostics) {
    const Instant now = at("2026-12-07T12:00:00Z");
    const Clock clock{[now] { return now; }, std::chrono::steady_clock::now};
    VdirStore store{root, diagnostics, zone, clock};
    Context context{store, diagnostics, now, zone};
    std::string printed;
    if (!runCommand(
            word, context, [&] { return request; },
            [&](std::string_view text) { printed += text; })) {
        printed = serializeDocument(Json{{"error", usageText}});
    }
    // Documents written piece by piece are byte for byte what the tree would print.
    EXPECT_EQ(printed, serializeDocument(Json::parse(printed)));
    static const std::regex uuid{
        "[0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12}"};
    return Json::parse(std::regex_replace(printed, uuid, "<uuid>"));
}

void expectDocument(const Json& actual, const fs::path& expectedFile) {
    if (std::getenv("RAVU_GOLDEN_RECORD")) {
        std::ofstream{expectedFile} << actual.dump(2) << "\n";
    }
    EXPECT_EQ(actual, readJson(expectedFile))
        << "actual:   " << actual.dump() << "\nexpected: " << readJson(expectedFile).dump();
}

class Golden : public ::testing::TestWithParam<fs::path> {};

TEST_P(Golden, AnswersTheExpectedDocument) {
    const fs::path& folder = GetParam();
    TempDir dir;
    const fs::path root = dir.path() / "store";
    if (fs::exists(folder / "store")) {
        fs::copy(folder / "store", root, fs::copy_options::recursive);
    }
    ageFiles(root);
    std::string zoneName = "UTC";
    std::istringstream{fs::exists(folder / "zone") ? readFile(folder / "zone") : ""} >> zoneName;
    const TimeZone& userZone = zone(zoneName);
    std::ostringstream diagnostics;
    const std::string word = folder.parent_path().filename().string();
    expectDocument(run(word, root, userZone, readJson(folder / "request.json"), diagnostics),
                   folder / "expected.json");
    if (fs::exists(folder / "stderr.txt")) {
        EXPECT_EQ(diagnostics.str(), readFile(folder / "stderr.txt"));
    }
    // Writes are checked through what a later run reads back.
    if (fs::exists(folder / "after-request.json")) {
        ageFiles(root);
        std::ostringstream ignored;
        expectDocument(
            run("snapshot", root, userZone, readJson(folder / "after-request.json"), ignored),
            folder / "after.json");
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, Golden, ::testing::ValuesIn(caseFolders()), [](const auto& info) {
    return testName(info.param.parent_path().filename().string() + "_" +
                    info.param.filename().string());
});

// Bad input: tests/cases/requests.json, identifiers.json and the item files of items/, each run
// against a store with a calendar that may change and, around it, files no run may touch.
const std::string key = "local|local|Calendar";

std::string event(const std::string& uid) {
    return Item{uid}.start("20261210T090000Z").text();
}

/// Every path under `top` but the lock, each with a link's target, "folder" or its content.
std::map<std::string, std::string> tree(const fs::path& top, const fs::path& skip = {}) {
    std::map<std::string, std::string> found;
    for (auto it = fs::recursive_directory_iterator(top); it != fs::recursive_directory_iterator();
         ++it) {
        const fs::path& path = it->path();
        if (path == skip) {
            it.disable_recursion_pending();
        } else if (path.filename() != ".ravu-calendar.lock") {
            found[path.string()] = it->is_symlink()     ? fs::read_symlink(path).string()
                                   : it->is_directory() ? "folder"
                                                        : readFile(path);
        }
    }
    return found;
}

struct BadInput {
    TempDir dir;
    fs::path root = dir.path() / "store";
    fs::path target = root / "local" / "calendar";
    std::string diagnostics;

    BadInput() {
        writeFile(target / "displayname", "Calendar\n");
        writeFile(target / "control.ics", event("control"));
        writeFile(root / "other" / "team" / "shared.ics", event("shared"));
        writeFile(dir.path() / "sentinel" / "victim.ics", event("victim"));
        writeFile(dir.path() / "x.ics", event("x"));
    }

    /// The document of `word` on the request text; nothing outside the target may change.
    Json operator()(const std::string& word, const std::string& text) {
        const auto outside = tree(dir.path(), target);
        std::ostringstream err;
        const Json document = run(word, root, utcZone(), parseRequest(text), err);
        diagnostics = err.str();
        EXPECT_EQ(tree(dir.path(), target), outside);
        return document;
    }
};

TEST(BadInput, RequestsAndIdentifiers) {
    const Json none = Json::parse(R"({"writes":[],"deletes":[],"external":[]})");
    Json rows = Json::parse(readFile(cases / "requests.json"));
    const Json identifiers = Json::parse(readFile(cases / "identifiers.json"));
    Json ids = identifiers["ids"];
    ids.push_back(
        {{"name", "a megabyte long"}, {"id", "local/calendar/" + std::string(1 << 20, 'i')}});
    for (const Json& id : ids) {
        const auto named = [&](const char* part) {
            return Json::parse(filled(identifiers[part].dump(), {{"\"@ID@\"", id["id"].dump()}}));
        };
        rows.push_back(
            {{"name", id["name"]}, {"request", named("request")}, {"expected", named("expected")}});
    }
    for (const Json& row : rows) {
        SCOPED_TRACE(row["name"].get<std::string>());
        BadInput store;
        const auto before = tree(store.target);
        const auto args = row.value("args", std::vector<std::string>{"apply"});
        EXPECT_EQ(
            store(args.empty() ? "" : args[0],
                  row.contains("text") ? row["text"].get<std::string>() : row["request"].dump()),
            row.value("expected", none));
        EXPECT_EQ(tree(store.target), before);
    }
}

/// A file the store cannot use is named on standard error and left as it is; one it can use is
/// shown and changed; an `either` file may go both ways. A bad file never blocks its neighbours.
void expectItemFile(const std::function<void(const fs::path&)>& put, const std::string& reading) {
    BadInput store;
    put(store.target / "bad.ics");
    const auto before = tree(store.target);
    const Json feed = store("snapshot", Json{{"logicalKeys", {key}}}.dump())["feeds"][key];
    std::set<std::string> uids;
    for (const Json& record : feed) {
        uids.insert(record["uid"].get<std::string>());
        EXPECT_LE(record["startsAt"], record.value("endsAt", "~")) << record;
    }
    const bool shown = uids.contains("local/calendar/bad");
    EXPECT_TRUE(uids.contains("local/calendar/control")) << feed;
    EXPECT_TRUE(reading == "either" || shown == (reading == "shown")) << feed;
    EXPECT_EQ(store.diagnostics.find("skipping unreadable event file: local/calendar/bad.ics") !=
                  std::string::npos,
              !shown)
        << store.diagnostics;

    const Json writes = store("apply", R"({"pending":[
        {"op":"create","itemId":"beside","logicalKey":"local|local|Calendar",
         "startsAt":"2026-12-10T14:00:00Z"},
        {"op":"update","eventkitEventId":"local/calendar/bad","startsAt":"2026-12-10T16:00:00Z"}]})")
        ["writes"];
    ASSERT_EQ(writes.size(), 2u) << writes;
    EXPECT_EQ(writes[0]["status"], "applied") << writes;
    const bool changed = writes[1]["status"] == "applied";
    EXPECT_TRUE(reading == "either" || changed == (reading == "shown")) << writes;
    const std::string bad = (store.target / "bad.ics").string();
    EXPECT_TRUE(changed || tree(store.target).at(bad) == before.at(bad));
}

TEST(BadInput, ItemFiles) {
    // Faults once found here stay as `known-fault` files, now shown like any good file.
    for (const fs::path& folder : listed(cases / "items")) {
        const std::string name = folder.filename().string();
        const std::string reading = name == "known-fault" ? "shown" : name;
        for (const fs::path& file : listed(folder)) {
            SCOPED_TRACE(file.string());
            const std::string text = filled(readFile(file), {{"@DAY@", "20261210"}});
            expectItemFile([&](const fs::path& bad) { writeFile(bad, text); }, reading);
        }
    }
    std::string bytes(4096, '\0');
    std::generate(bytes.begin(), bytes.end(), std::mt19937{7});
    expectItemFile([&](const fs::path& bad) { writeFile(bad, bytes); }, "skipped");
    expectItemFile([](const fs::path& bad) { fs::create_directories(bad / "x.ics"); }, "skipped");
    expectItemFile(
        [](const fs::path& bad) { fs::create_symlink("../../../sentinel/victim.ics", bad); },
        "skipped");
}

}  // namespace
}  // namespace ravu::testing

// Bad input of every kind through the built program. Each run must end in a document (or the
// usage error), say nothing on standard error but its own lines, and leave everything outside the
// calendar it was sent to as it was.
//
// The rows: tests/cases/requests.json, tests/cases/identifiers.json, item files under
// tests/cases/items/<how the store takes them>/, and below the rows that are made, not written.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <random>

#include <date/date.h>
#include <nlohmann/json.hpp>

#include "tests/support/background.h"

namespace ravu::testing {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using namespace std::chrono_literals;

const fs::path cases = fs::path{RAVU_SOURCE_DIR} / "tests" / "cases";
const std::string key = "local|local|Calendar";
const Json noChange = Json::parse(R"({"writes":[],"deletes":[],"external":[]})");

// Events lie a few days after the real today: the program reads the clock itself.
const date::sys_days day =
    date::floor<date::days>(std::chrono::system_clock::now()) + date::days{3};

std::string at(const char* time) {
    return date::format("%Y-%m-%dT", day) + time + "Z";
}

/// Item text with every @DAY@ made the test's day.
std::string onDay(std::string text) {
    for (std::size_t at; (at = text.find("@DAY@")) != std::string::npos;) {
        text.replace(at, 5, date::format("%Y%m%d", day));
    }
    return text;
}

std::string eventText(const std::string& uid, const std::string& more = "") {
    return onDay(
        "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//ravu-calendar tests//EN\r\n"
        "BEGIN:VEVENT\r\nUID:" +
        uid + "\r\nDTSTAMP:20240101T000000Z\r\nSUMMARY:" + uid + "\r\nDTSTART:@DAY@T090000Z\r\n" +
        more + "END:VEVENT\r\nEND:VCALENDAR\r\n");
}

/// What a path is: the target of a link, a folder, or a file's content.
std::string describe(const fs::path& path) {
    const auto status = fs::symlink_status(path);
    if (fs::is_symlink(status)) {
        return "-> " + fs::read_symlink(path).string();
    }
    return fs::is_directory(status) ? "folder" : readFile(path);
}

/// A store with the target calendar and a second one, and beside it what a path in a request or
/// a linked file would reach.
struct Layout {
    TempDir dir;
    fs::path root = dir.path() / "store";
    fs::path target = root / "local" / "calendar";
    std::map<std::string, std::string> before;  ///< the target's files before the run

    Layout() {
        writeFile(target / "displayname", "Calendar\n");
        writeFile(target / "control.ics", eventText("control"));
        writeFile(root / "other" / "team" / "shared.ics", eventText("shared"));
        writeFile(dir.path() / "sentinel" / "victim.ics", eventText("victim"));
        writeFile(dir.path() / "x.ics", eventText("x"));
    }

    /// Everything outside the target calendar but the lock.
    std::map<std::string, std::string> outside() const {
        std::map<std::string, std::string> found;
        for (auto it = fs::recursive_directory_iterator(dir.path());
             it != fs::recursive_directory_iterator(); ++it) {
            if (it->path() == target) {
                it.disable_recursion_pending();
            } else if (it->path() != root / ".ravu-calendar.lock") {
                found[it->path().string()] = describe(it->path());
            }
        }
        return found;
    }
};

using Expectation = std::function<void(const Json& document, const ProgramRun&, const Layout&)>;

struct Case {
    std::string name;
    std::vector<std::string> args;
    std::string request;
    std::function<void(const fs::path& file)> place;  ///< puts `bad.ics` into the target
    Expectation expect;
    int status = 0;
};

void runCases(const std::vector<Case>& rows) {
    for (const Case& row : rows) {
        SCOPED_TRACE(row.name);
        Layout layout;
        if (row.place) {
            row.place(layout.target / "bad.ics");
        }
        for (const auto& entry : fs::directory_iterator(layout.target)) {
            layout.before[entry.path().filename().string()] = describe(entry.path());
        }
        const auto outside = layout.outside();
        BackgroundRun program{layout.root, row.args, row.request};
        const ProgramRun run = program.wait(60s);
        ASSERT_FALSE(program.timedOut());
        const Json document = documentOf(run, row.status);
        EXPECT_EQ(layout.outside(), outside);
        row.expect(document, run, layout);
    }
}

Expectation is(const Json& expected) {
    return [expected](const Json& document, const ProgramRun&, const Layout& layout) {
        EXPECT_EQ(document, expected);
        EXPECT_EQ(describe(layout.target / "control.ics"), layout.before.at("control.ics"));
    };
}

/// Checks the one write of the document.
Expectation oneWrite(std::function<void(const Json& write, const Layout&)> check) {
    return [check](const Json& document, const ProgramRun&, const Layout& layout) {
        const Json writes = document.value("writes", Json::array());
        ASSERT_EQ(writes.size(), 1u) << document.dump().substr(0, 300);
        check(writes[0], layout);
    };
}

std::string apply(const std::vector<Json>& pending) {
    return Json{{"pending", pending}}.dump();
}

Json create(const Json& itemId, const Json& title = "New") {
    return {{"op", "create"},           {"itemId", itemId},
            {"logicalKey", key},        {"startsAt", at("14:00:00")},
            {"endsAt", at("15:00:00")}, {"title", title}};
}

/// An entry of each op on the event `id`, none of which may find anything.
Case identifierCase(const std::string& name, const std::string& id) {
    const Json gone = {{"uid", id},
                       {"occurrenceStart", at("09:00:00")},
                       {"status", "permanentError"},
                       {"error", "occurrence no longer on device"}};
    const Json updateGone = {{"itemId", "h"},
                             {"eventkitEventId", ""},
                             {"status", "permanentError"},
                             {"error", "event no longer on device"}};
    const auto external = [&](const char* op) {
        return Json{{"op", op}, {"eventkitEventId", id}, {"occurrenceStart", at("09:00:00")}};
    };
    return {
        "identifier " + name,
        {"apply"},
        apply({{{"op", "update"}, {"eventkitEventId", id}, {"itemId", "h"}},
               {{"op", "delete"}, {"eventkitEventId", id}},
               external("updateExternal"),
               external("deleteExternal")}),
        nullptr,
        is({{"writes", {updateGone}}, {"deletes", Json::array({id})}, {"external", {gone, gone}}})};
}

/// How the store may take an item file it cannot fully use.
enum class Reading { skipped, shown, either };

/// A snapshot, and a queue that updates `bad` and creates an event beside it. A file the store
/// skips is named on standard error, and a file it cannot change is left as it was.
std::vector<Case> fileCases(const std::string& name, std::function<void(const fs::path&)> put,
                            Reading reading) {
    const auto allowed = [reading](bool used) {
        return reading == Reading::either || used == (reading == Reading::shown);
    };
    const Expectation snapshot = [allowed](const Json& document, const ProgramRun& run,
                                           const Layout&) {
        const Json feed = document.value("feeds", Json::object()).value(key, Json::array());
        const auto find = [&](const std::string& uid) {
            return std::find_if(feed.begin(), feed.end(),
                                [&](const Json& record) { return record.value("uid", "") == uid; });
        };
        EXPECT_NE(find("local/calendar/control"), feed.end()) << document;
        const auto bad = find("local/calendar/bad");
        const bool shown = bad != feed.end();
        EXPECT_TRUE(allowed(shown)) << document;
        const auto skipped = run.err.find("skipping unreadable event file: local/calendar/bad.ics");
        EXPECT_EQ(skipped != std::string::npos, !shown) << run.err;
        EXPECT_TRUE(!shown || bad->value("endsAt", "~") >= bad->value("startsAt", "")) << document;
    };
    const Expectation update = [allowed](const Json& document, const ProgramRun&,
                                         const Layout& layout) {
        const Json writes = document.value("writes", Json::array());
        ASSERT_EQ(writes.size(), 2u) << document;
        EXPECT_EQ(writes[0].value("status", ""), "applied") << "a bad neighbour blocks nothing";
        const bool changed = writes[1].value("status", "") == "applied";
        EXPECT_TRUE(allowed(changed)) << document;
        EXPECT_TRUE(changed || describe(layout.target / "bad.ics") == layout.before.at("bad.ics"));
    };
    const std::vector<Json> queue = {create("beside"),
                                     {{"op", "update"},
                                      {"eventkitEventId", "local/calendar/bad"},
                                      {"startsAt", at("16:00:00")}}};
    return {{"file " + name + ": snapshot",
             {"snapshot"},
             Json{{"logicalKeys", {key}}}.dump(),
             put,
             snapshot},
            {"file " + name + ": update", {"apply"}, apply(queue), put, update}};
}

std::function<void(const fs::path&)> text(const std::string& contents) {
    return [contents](const fs::path& file) { writeFile(file, contents); };
}

std::vector<Case> requestCases() {
    std::vector<Case> rows;
    for (const Json& row : Json::parse(readFile(cases / "requests.json"))) {
        rows.push_back(
            {row["name"], row.value("args", std::vector<std::string>{"apply"}),
             row.contains("text") ? row["text"].get<std::string>() : row["request"].dump(), nullptr,
             is(row.value("expected", noChange)), row.value("status", 0)});
    }
    for (const Json& row : Json::parse(readFile(cases / "identifiers.json"))) {
        rows.push_back(identifierCase(row["name"], row["id"]));
    }
    rows.push_back(
        identifierCase("a megabyte long", "local/calendar/" + std::string(1 << 20, 'i')));

    std::string notUtf8 = apply({create("a", "@")});
    notUtf8.replace(notUtf8.find('@'), 1, "\xff\xfe");
    std::vector<Json> many;  // every other op is not one of ours
    Json deleted = Json::array();
    for (int i = 0; i < 5000; ++i) {
        const std::string id = "local/calendar/none-" + std::to_string(i);
        many.push_back({{"op", i % 2 ? "Delete" : "delete"}, {"eventkitEventId", id}});
        if (i % 2 == 0) {
            deleted.push_back(id);
        }
    }
    const auto applied = [](const Json& write, const Layout&) {
        EXPECT_EQ(write.value("status", ""), "applied") << write;
    };
    const std::vector<Case> made = {
        {"nested a hundred thousand deep",
         {"apply"},
         std::string(100000, '[') + std::string(100000, ']'),
         nullptr,
         is(noChange)},
        {"deep nesting in a field nobody reads",
         {"apply"},
         R"({"pending":[{"op":"delete","eventkitEventId":"a/b/c","x":)" + std::string(200, '[') +
             std::string(200, ']') + "}]}",
         nullptr,
         is({{"writes", Json::array()}, {"deletes", {"a/b/c"}}, {"external", Json::array()}})},
        {"bytes that are not UTF-8", {"apply"}, notUtf8, nullptr, is(noChange)},
        {"five thousand entries",
         {"apply"},
         apply(many),
         nullptr,
         is({{"writes", Json::array()}, {"deletes", deleted}, {"external", Json::array()}})},
        {"wrong types everywhere",
         {"apply"},
         apply({{{"op", 1}},
                {{"op", "create"}, {"logicalKey", Json::array({key})}},
                {{"op", "update"}, {"eventkitEventId", 42}},
                {{"op", "delete"}, {"eventkitEventId", nullptr}},
                {{"op", "updateExternal"},
                 {"eventkitEventId", "local/calendar/control"},
                 {"occurrenceStart", 1}},
                {{"op", "create"},
                 {"logicalKey", key},
                 {"itemId", 7},
                 {"startsAt", 1714557600},
                 {"endsAt", true},
                 {"title", {{"a", 1}}},
                 {"allDay", "yes"},
                 {"recurrenceRule", Json::array({1})}}}),
         nullptr,
         // Only the last create is carried out, and without a start it cannot be saved.
         oneWrite([](const Json& write, const Layout&) {
             EXPECT_EQ(write.value("itemId", "?") + write.value("eventkitEventId", "?"), "");
             EXPECT_EQ(write.value("status", ""), "transientError") << write;
         })},
        {"numbers for ids",
         {"apply"},
         apply({{{"op", "delete"}, {"eventkitEventId", 7}}, create(7)}),
         nullptr,
         oneWrite([](const Json& write, const Layout&) {
             EXPECT_EQ(write.value("itemId", "?"), "") << write;
         })},
        {"text with a NUL",
         {"apply"},
         apply({create(std::string{"n\0l", 3}, std::string{"a\0b", 3})}),
         nullptr,
         oneWrite([applied](const Json& write, const Layout& layout) {
             applied(write, layout);
             for (const auto& entry : fs::directory_iterator(layout.target)) {
                 EXPECT_EQ(readFile(entry.path()).find('\0'), std::string::npos) << entry.path();
             }
         })},
        {"an item id that is a path",
         {"apply"},
         apply({create("../../sentinel/victim")}),
         nullptr,
         oneWrite(applied)},
        {"a title of a megabyte",
         {"apply"},
         apply({create("long", std::string(1 << 20, 't'))}),
         nullptr,
         oneWrite([applied](const Json& write, const Layout& layout) {
             applied(write, layout);
             const auto snapshot =
                 runBounded(layout.root, {"snapshot"}, Json{{"logicalKeys", {key}}}.dump());
             EXPECT_NE(snapshot.out.find(std::string(1 << 20, 't')), std::string::npos);
         })},
        {"a snapshot of a key of a megabyte",
         {"snapshot"},
         Json{{"logicalKeys", Json::array({std::string(1 << 20, 'k')})}}.dump(),
         nullptr,
         is({{"feeds", Json::object()}})},
    };
    rows.insert(rows.end(), made.begin(), made.end());
    return rows;
}

std::vector<Case> itemCases() {
    std::vector<Case> rows;
    const auto add = [&](const std::string& name, auto put, Reading reading) {
        for (Case& row : fileCases(name, put, reading)) {
            rows.push_back(std::move(row));
        }
    };
    const std::pair<const char*, Reading> folders[] = {
        {"skipped", Reading::skipped}, {"shown", Reading::shown}, {"either", Reading::either}};
    for (const auto& [folder, reading] : folders) {
        for (const auto& file : fs::directory_iterator(cases / "items" / folder)) {
            add(file.path().filename().string(), text(onDay(readFile(file.path()))), reading);
        }
    }
    std::string bytes(4096, '\0');
    std::generate(bytes.begin(), bytes.end(), std::mt19937{7});
    add("of binary bytes", text(bytes), Reading::skipped);
    add("of five megabytes",
        text(eventText("bad", "DESCRIPTION:" + std::string(5 << 20, 'd') + "\r\n")),
        Reading::skipped);
    add(
        "that is a folder", [](const fs::path& file) { fs::create_directories(file / "x.ics"); },
        Reading::skipped);
    add(
        "linked to an event outside the store",
        [](const fs::path& file) { fs::create_symlink("../../../sentinel/victim.ics", file); },
        Reading::skipped);
    return rows;
}

TEST(BadInput, Requests) {
    runCases(requestCases());
}

TEST(BadInput, ItemFiles) {
    runCases(itemCases());
}

// Faults found here once, kept as regression cases.
TEST(BadInput, FormerFaults) {
    // libical prints "Encountered END before BEGIN" on standard error for surplus END lines.
    std::vector<Case> rows = fileCases(
        "surplus-end.ics", text(onDay(readFile(cases / "items/known-fault/surplus-end.ics"))),
        Reading::shown);
    // A 5 MB title is "applied" into a file larger than the store reads back: the event is then
    // skipped as unreadable, and the host's next create of the item makes a second one.
    rows.push_back(
        {"a title of five megabytes",
         {"apply"},
         apply({create("huge", std::string(5 << 20, 't'))}),
         nullptr,
         oneWrite([](const Json& write, const Layout& layout) {
             if (write.value("status", "") == "applied") {
                 const auto snapshot =
                     runBounded(layout.root, {"snapshot"}, Json{{"logicalKeys", {key}}}.dump());
                 EXPECT_EQ(snapshot.err, "");
                 EXPECT_NE(snapshot.out.find("\"ravuItemId\":\"huge\""), std::string::npos);
             }
         })});
    runCases(rows);
}

}  // namespace
}  // namespace ravu::testing

// The program as a host sees it. Only what a process shows runs the binary: the exit status,
// one line on standard output, the escaped "/", the store named by the environment.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "tests/support/process.h"

namespace ravu::testing {
namespace {

namespace fs = std::filesystem;

TEST(Program, PrintsOneLineAndFailsOnlyOnAnUnknownWord) {
    TempDir dir;
    const fs::path root = dir.path() / "deeper" / "store";
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, {""}, {"STATUS"}, {"../apply"}}) {
        const auto run = runOnStore(root, args);
        EXPECT_EQ(run.out, R"({"error":"usage: ravu-calendar permission|calendars|snapshot|apply"})"
                           "\n");
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.status, 1);
    }
    EXPECT_FALSE(fs::exists(root));

    // Permission makes the store and its missing parents, for this user only whatever the
    // umask, with a calendar to write into.
    const mode_t umask = ::umask(0);
    EXPECT_EQ(runOnStore(root, {"permission"}).out, "{\"granted\":true}\n");
    ::umask(umask);
    for (const fs::path& folder : {root.parent_path(), root}) {
        EXPECT_EQ(fs::status(folder).permissions(), fs::perms::owner_all) << folder;
    }
    const auto run = runOnStore(root, {"calendars"});
    EXPECT_EQ(run.out, R"({"calendars":[{"id":"local\/calendar","logicalKey":"local|local|)"
                       R"(Calendar","sourceTitle":"local","title":"Calendar","writable":true}]})"
                       "\n");
    EXPECT_EQ(run.status, 0);

    // A store that is not a folder is denied, and left as it is.
    writeFile(dir.path() / "file", "not a folder");
    EXPECT_EQ(runOnStore(dir.path() / "file", {"permission"}).out, "{\"granted\":false}\n");
    EXPECT_EQ(readFile(dir.path() / "file"), "not a folder");
}

TEST(Program, RunsTheStoreTheBackendNames) {
    const auto cases =
        nlohmann::json::parse(readFile(RAVU_SOURCE_DIR "/tests/cases/backends.json"));
    for (const auto& row : cases["rows"]) {
        SCOPED_TRACE(row.dump());
        TempDir dir;
        const fs::path root = dir.path() / "store";
        const auto run =
            BackgroundRun{root, row["args"], row.value("input", ""), row["env"].get<Environment>()}
                .wait(std::chrono::minutes{1});
        EXPECT_EQ(documentOf(run), row["out"]);
        if (!row["err"].is_null()) {
            EXPECT_EQ(run.err, row["err"].get<std::string>());
        }
        EXPECT_EQ(fs::exists(root), row.value("made", false));
    }
}

}  // namespace
}  // namespace ravu::testing

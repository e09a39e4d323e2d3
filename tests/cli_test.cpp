// The program as a host sees it. Only what a process shows runs the binary: the exit status,
// one line on standard output, the escaped "/", the store named by the environment.
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

    // Permission makes the store, for this user only, with a calendar to write into.
    EXPECT_EQ(runOnStore(root, {"permission"}).out, "{\"granted\":true}\n");
    EXPECT_EQ(fs::status(root).permissions(), fs::perms::owner_all);
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

}  // namespace
}  // namespace ravu::testing

// The program as a host sees it. Only what a process shows runs the binary: the exit status,
// one line on standard output, the escaped "/", the store named by the environment.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <sstream>

#include "cli/dispatch.h"
#include "convert/time.h"
#include "store/vdir/vdir_store.h"
#include "tests/support/process.h"

namespace ravu::testing {
namespace {

namespace fs = std::filesystem;

TEST(Program, PrintsOneLineAndFailsOnlyOnAnUnknownWord) {
    TempDir dir;
    const fs::path root = dir.path() / "store";
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, {""}, {"STATUS"}, {"../apply"}}) {
        const auto run = runOnStore(root, args);
        EXPECT_EQ(run.out, R"({"error":"usage: ravu-calendar permission|calendars|snapshot|apply"})"
                           "\n");
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.status, 1);
    }
    EXPECT_FALSE(fs::exists(root));

    writeFile(root / "local" / "calendar" / "displayname", "Calendar\n");
    const auto run = runOnStore(root, {"calendars"});
    EXPECT_EQ(run.out, R"({"calendars":[{"id":"local\/calendar","logicalKey":"local|local|)"
                       R"(Calendar","sourceTitle":"local","title":"Calendar","writable":true}]})"
                       "\n");
    EXPECT_EQ(run.status, 0);
}

TEST(Dispatch, PermissionCreatesAMissingStoreAndNothingElseDoes) {
    TempDir dir;
    const fs::path root = dir.path() / "deeper" / "store";
    std::ostringstream err;
    VdirStore store{root, err, utcZone()};
    Context context{store, err, Instant{}, utcZone()};
    const auto answer = [&](const char* word) { return *runCommand(word, context, nullptr); };
    EXPECT_EQ(answer("status"), Json::parse(R"({"granted":false})"));
    EXPECT_FALSE(fs::exists(root));
    EXPECT_EQ(answer("permission"), Json::parse(R"({"granted":true})"));
    EXPECT_EQ(readFile(root / "local" / "calendar" / "displayname"), "Calendar\n");
    struct stat info {};
    ASSERT_EQ(stat(root.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    writeFile(root / "local" / "calendar" / "displayname", "Renamed");
    EXPECT_EQ(answer("permission"), Json::parse(R"({"granted":true})"));
    EXPECT_EQ(readFile(root / "local" / "calendar" / "displayname"), "Renamed");

    // A store that is not a folder is denied, and left as it is.
    const fs::path file = dir.path() / "file";
    writeFile(file, "not a folder");
    VdirStore denied{file, err, utcZone()};
    Context deniedContext{denied, err, Instant{}, utcZone()};
    EXPECT_EQ(*runCommand("permission", deniedContext, nullptr),
              Json::parse(R"({"granted":false})"));
    EXPECT_EQ(readFile(file), "not a folder");
}

}  // namespace
}  // namespace ravu::testing

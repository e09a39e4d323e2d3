// The program as a host sees it: words, exit statuses, access, and where the store lives.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "store/vdir/root.h"
#include "tests/support/process.h"

namespace ravu::testing {
namespace {

namespace fs = std::filesystem;
const std::string usageLine =
    R"({"error":"usage: ravu-calendar permission|calendars|snapshot|apply"})"
    "\n";

TEST(Dispatch, UnknownWordsAreTheUsageError) {
    TempDir dir;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, {""}, {"STATUS"}, {"Status"}, {"calendar"}, {"help"}}) {
        const auto run = runOnStore(dir.path() / "store", args);
        EXPECT_EQ(run.out, usageLine);
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.status, 1);
    }
    EXPECT_FALSE(fs::exists(dir.path() / "store"));
}

TEST(Dispatch, StatusPermissionStatus) {
    TempDir dir;
    const fs::path root = dir.path() / "deeper" / "store";
    const auto before = runOnStore(root, {"status", "extra", "args"});
    EXPECT_EQ(before.out, "{\"granted\":false}\n");
    EXPECT_EQ(before.status, 0);
    EXPECT_FALSE(fs::exists(root)) << "status must not create the store";

    const auto permission = runOnStore(root, {"permission"});
    EXPECT_EQ(permission.out, "{\"granted\":true}\n");
    EXPECT_EQ(permission.status, 0);
    EXPECT_TRUE(fs::is_directory(root / "local" / "calendar"));
    EXPECT_EQ(readFile(root / "local" / "calendar" / "displayname"), "Calendar\n");
    struct stat info {};
    ASSERT_EQ(stat(root.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);

    // Granted stays granted and nothing is changed by asking again.
    EXPECT_EQ(runOnStore(root, {"status"}).out, "{\"granted\":true}\n");
    writeFile(root / "local" / "calendar" / "displayname", "Renamed");
    EXPECT_EQ(runOnStore(root, {"permission"}).out, "{\"granted\":true}\n");
    EXPECT_EQ(readFile(root / "local" / "calendar" / "displayname"), "Renamed");
}

TEST(Dispatch, AStoreThatIsNotADirectoryIsDenied) {
    TempDir dir;
    const fs::path root = dir.path() / "store";
    writeFile(root, "not a folder");
    EXPECT_EQ(runOnStore(root, {"status"}).out, "{\"granted\":false}\n");
    EXPECT_EQ(runOnStore(root, {"permission"}).out, "{\"granted\":false}\n");
    EXPECT_EQ(readFile(root), "not a folder");
}

TEST(Dispatch, AStoreTheUserCannotReadIsDenied) {
    TempDir dir;
    const fs::path root = dir.path() / "store";
    fs::create_directories(root);
    fs::permissions(root, fs::perms::owner_write);
    if (geteuid() == 0) {
        // Root reads everything; ask as an unprivileged user instead.
        if (system("command -v setpriv >/dev/null") != 0) {
            GTEST_SKIP() << "running as root without setpriv: cannot test a denied store";
        }
        fs::permissions(dir.path(), fs::perms::all, fs::perm_options::add);
        const std::string command = "RAVU_CALENDAR_STORE=" + root.string() +
                                    " setpriv --reuid=nobody --regid=nogroup --clear-groups " +
                                    RAVU_BINARY + " ";
        auto answer = [&](const char* word) {
            std::string out;
            FILE* pipe = popen((command + word).c_str(), "r");
            char buffer[256];
            while (fgets(buffer, sizeof buffer, pipe))
                out += buffer;
            pclose(pipe);
            return out;
        };
        EXPECT_EQ(answer("status"), "{\"granted\":false}\n");
        EXPECT_EQ(answer("permission"), "{\"granted\":false}\n");
    } else {
        EXPECT_EQ(runOnStore(root, {"status"}).out, "{\"granted\":false}\n");
        EXPECT_EQ(runOnStore(root, {"permission"}).out, "{\"granted\":false}\n");
    }
    EXPECT_TRUE(fs::is_empty(root));
}

TEST(Dispatch, CommandsWithoutAccessPrintTheirEmptyDocuments) {
    TempDir dir;
    const fs::path root = dir.path() / "missing";
    EXPECT_EQ(runOnStore(root, {"calendars"}).out, "{\"calendars\":[]}\n");
    const auto snapshot =
        runOnStore(root, {"snapshot"}, R"({"logicalKeys":["local|local|Calendar"]})");
    EXPECT_EQ(snapshot.out, "{\"feeds\":{},\"noAccess\":true}\n");
    EXPECT_EQ(snapshot.status, 0);
    const auto apply = runOnStore(root, {"apply"}, "not json at all");
    EXPECT_EQ(apply.out, "{\"deletes\":[],\"external\":[],\"writes\":[]}\n");
    EXPECT_EQ(apply.status, 0);
    EXPECT_FALSE(fs::exists(root));
}

TEST(StoreRoot, FromTheEnvironment) {
    auto env = [](std::map<std::string, std::string> values) {
        return [values](const char* name) -> std::optional<std::string> {
            auto it = values.find(name);
            if (it == values.end())
                return std::nullopt;
            return it->second;
        };
    };
    EXPECT_EQ(storeRoot(env({{"RAVU_CALENDAR_STORE", "/s"}, {"HOME", "/h"}})), "/s");
    EXPECT_EQ(storeRoot(env({{"RAVU_CALENDAR_STORE", ""}, {"HOME", "/h"}})),
              "/h/.local/share/ravu-calendar");
    EXPECT_EQ(storeRoot(env({{"XDG_DATA_HOME", "/d"}, {"HOME", "/h"}})), "/d/ravu-calendar");
    EXPECT_EQ(storeRoot(env({{"XDG_DATA_HOME", "rel"}, {"HOME", "/h"}})),
              "/h/.local/share/ravu-calendar");
}

}  // namespace
}  // namespace ravu::testing

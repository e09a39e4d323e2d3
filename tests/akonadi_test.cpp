// The KDE store as a first login meets it: the program on a real Akonadi with SQLite on a private
// bus. What peers read of its writes is in tests/interop_test.cpp.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "cli/watchdog.h"
#include "tests/support/akonadi_bus.h"

namespace ravu::testing {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using namespace std::chrono_literals;

/// The program on the KDE store of `environment`, with how long it took.
std::pair<ProgramRun, std::chrono::milliseconds> timed(const Environment& environment,
                                                       const std::string& word,
                                                       const Json& request = nullptr) {
    const auto started = std::chrono::steady_clock::now();
    ProgramRun run =
        BackgroundRun{
            fs::path{"/nonexistent"}, {word}, request.is_null() ? "" : request.dump(), environment}
            .wait(2min);
    return {run, std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::steady_clock::now() - started)};
}

Json onAkonadi(const AkonadiBus& bus, const std::string& word, const Json& request = nullptr) {
    return documentOf(timed(bus.environment(), word, request).first);
}

// On a first login's home, without the file that keeps Akonadi's first-run defaults away, no
// word of the program makes a resource, an agent or a collection; `status` starts nothing, and
// `permission` starts Akonadi within its bound. Buses that cannot answer are among the desktop
// faults of tests/fault_test.cpp.
TEST(AkonadiStore, AFirstLoginsHomeIsLeftAsItWas) {
    if (!AkonadiBus::missing().empty()) {
        GTEST_SKIP() << AkonadiBus::missing();
    }
    const AkonadiBus bus{false};
    ASSERT_TRUE(bus.running());
    const auto running = [&] {
        return runTool({"dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus",
                        "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner",
                        "string:org.freedesktop.Akonadi"},
                       bus.environment())
                   .out.find("true") != std::string::npos;
    };
    EXPECT_EQ(onAkonadi(bus, "status"), (Json{{"granted", true}}));
    EXPECT_FALSE(running());
    const auto [granted, took] = timed(bus.environment(), "permission");
    EXPECT_EQ(documentOf(granted), (Json{{"granted", true}})) << granted.err;
    EXPECT_LT(took, 3 * runBound("permission", nullptr));
    EXPECT_TRUE(running());
    EXPECT_EQ(onAkonadi(bus, "calendars"), (Json{{"calendars", Json::array()}}));
    EXPECT_EQ(onAkonadi(bus, "snapshot", {{"logicalKeys", {"local|x|y"}}}),
              (Json{{"feeds", Json::object()}}));
    EXPECT_EQ(bus.collections(), std::vector<std::string>{"1|Search|akonadi_search_resource|"});
    EXPECT_FALSE(fs::exists(bus.home() / ".config/akonadi/agentsrc") &&
                 readFile(bus.home() / ".config/akonadi/agentsrc").find("resource_") !=
                     std::string::npos)
        << readFile(bus.home() / ".config/akonadi/agentsrc");
}

}  // namespace
}  // namespace ravu::testing

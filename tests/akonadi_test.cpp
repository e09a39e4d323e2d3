// The KDE store as a host meets it: the program on a real Akonadi with SQLite on a private bus, a
// first login's home that our runs leave as they found it, and buses that cannot answer. What
// peers read of its writes is in tests/interop_test.cpp.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

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

// On a first login's home, without the files that keep Akonadi's first-run defaults away, no
// word of the program makes a resource, an agent or a collection.
TEST(AkonadiStore, AFirstLoginsHomeIsLeftAsItWas) {
    if (!AkonadiBus::missing().empty()) {
        GTEST_SKIP() << AkonadiBus::missing();
    }
    const AkonadiBus bus{false};
    ASSERT_TRUE(bus.running());
    EXPECT_EQ(onAkonadi(bus, "status"), (Json{{"granted", true}}));
    EXPECT_EQ(onAkonadi(bus, "permission"), (Json{{"granted", true}}));
    EXPECT_EQ(onAkonadi(bus, "calendars"), (Json{{"calendars", Json::array()}}));
    EXPECT_EQ(onAkonadi(bus, "snapshot", {{"logicalKeys", {"local|x|y"}}}),
              (Json{{"feeds", Json::object()}}));
    EXPECT_EQ(bus.collections(), std::vector<std::string>{"1|Search|akonadi_search_resource|"});
    EXPECT_FALSE(fs::exists(bus.home() / ".config/akonadi/agentsrc") &&
                 readFile(bus.home() / ".config/akonadi/agentsrc").find("resource_") !=
                     std::string::npos)
        << readFile(bus.home() / ".config/akonadi/agentsrc");
}

// A bus that accepts and never answers, a bus on which Akonadi is stopped, and no bus at all:
// every word answers before three times its bound, and only a stopped Akonadi is one that
// `permission` can start.
TEST(AkonadiStore, SilentBusesAndAStoppedAkonadiAnswerWithinTheirBounds) {
    if (!AkonadiBus::missing().empty()) {
        GTEST_SKIP() << AkonadiBus::missing();
    }
    const AkonadiBus stopped;
    ASSERT_TRUE(stopped.running());
    TempDir dir;
    const fs::path socketPath = dir.path() / "silent";
    const int silent = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
    ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(silent, 16), 0);

    Environment quiet = stopped.environment(), none = stopped.environment();
    quiet["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + socketPath.string();
    none["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + (dir.path() / "nothing").string();
    const auto bound = 2s;  // the bus's limit for one question: status asks two at most
    struct Case {
        const Environment* environment;
        const char* word;
        const char* document;
        std::chrono::seconds limit;
    };
    for (const Case& c : {Case{&quiet, "status", R"({"granted":false})", 2 * bound},
                          Case{&quiet, "permission", R"({"granted":false})", bound},
                          Case{&quiet, "calendars", R"({"calendars":[]})", bound},
                          Case{&none, "status", R"({"granted":false})", bound},
                          Case{&none, "calendars", R"({"calendars":[]})", bound},
                          Case{&stopped.environment(), "status", R"({"granted":true})", bound}}) {
        const auto [run, took] = timed(*c.environment, c.word);
        EXPECT_EQ(documentOf(run), Json::parse(c.document)) << c.word << run.err;
        EXPECT_LT(took, 3 * c.limit) << c.word;
    }
    // `status` started nothing; `permission` starts Akonadi under its bound.
    const auto owner = [&] {
        return runTool({"dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus",
                        "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner",
                        "string:org.freedesktop.Akonadi"},
                       stopped.environment())
            .out;
    };
    EXPECT_NE(owner().find("false"), std::string::npos);
    const auto [granted, took] = timed(stopped.environment(), "permission");
    EXPECT_EQ(documentOf(granted), (Json{{"granted", true}})) << granted.err;
    EXPECT_LT(took, 3 * 10s);
    EXPECT_NE(owner().find("true"), std::string::npos);
    ::close(silent);
}

}  // namespace
}  // namespace ravu::testing

#include "tests/support/akonadi_bus.h"

#include <gtest/gtest.h>

#include <thread>

namespace ravu::testing {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string AkonadiBus::missing() {
    if (std::string{RAVU_AKONADI_MODULE}.empty() || std::string{RAVU_AKONADI_CLIENT}.empty()) {
        return "this build has no KDE store (KF5AkonadiCore was not found)";
    }
    if (!onPath("akonadictl") || !fs::exists("/usr/bin/akonadi_ical_resource") ||
        !onPath("dbus-daemon") || !onPath("dbus-send")) {
        return "Akonadi, its resources and dbus are needed (scripts/setup.sh --services installs "
               "them)";
    }
    return "";
}

AkonadiBus::AkonadiBus(bool preseed, const std::string& config)
    : SessionBus{{{"QT_QPA_PLATFORM", "offscreen"},
                  {"AKONADI_DISABLE_AGENT_AUTOSTART", "1"},
                  {"RAVU_CALENDAR_BACKEND", "akonadi"}}} {
    const fs::path settings = home() / ".config";
    writeFile(settings / "akonadi/akonadiserverrc", "[%General]\nDriver=QSQLITE\n");
    if (preseed) {
        writeFile(settings / "akonadi-firstrunrc",
                  "[ProcessedDefaults]\nbirthdaycalendar=done\ndefaultaddressbook=done\n"
                  "defaultcalendar=done\ndefaultnotebook=done\n");
    }
    // The CalDAV resource reads its password from the wallet: one that opens with no dialog.
    writeFile(settings / "kwalletrc",
              "[Wallet]\nFirst Use=false\nEnabled=true\nPrompt on Open=false\n");
    fs::create_directories(home() / "services");
    for (const char* service : {"org.freedesktop.Akonadi.Control", "org.kde.kwalletd5"}) {
        const fs::path file = fs::path{"/usr/share/dbus-1/services"} / service += ".service";
        if (fs::exists(file)) {
            fs::copy_file(file, home() / "services" / file.filename());
        }
    }
    const fs::path support = fs::path{RAVU_SOURCE_DIR} / "tests/support";
    start(config.empty() ? readFile(support / "bus-akonadi.conf") : config, {});
}

AkonadiBus::Resource AkonadiBus::calDav(const std::string& url) const {
    // The resource reads its password once, as it starts: it is there before.
    const std::string type = "akonadi_davgroupware_resource";
    if (!client({"wallet", type + "_" + std::to_string(made(type)) + ",$default$", "x"})) {
        return {};
    }
    return resource(type, "Radicale",
                    "remoteUrls=$default$|CalDav|" + url +
                        "\ndefaultUsername=user\nsettingsVersion=3\nlimitSyncRange=false\n"
                        "refreshInterval=0\n");
}

int AkonadiBus::made(const std::string& type) const {
    int count = 0;
    while (fs::exists(home() / ".config" / (type + "_" + std::to_string(count) + "rc"))) {
        ++count;
    }
    return count;
}

AkonadiBus::~AkonadiBus() {
    if (running()) {
        runTool({"akonadictl", "stop"}, environment());
    }
}

bool AkonadiBus::startAkonadi() const {
    const auto ask = [&](const std::string& method, const std::string& name) {
        return runTool(
                   {"dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus",
                    "/org/freedesktop/DBus", "org.freedesktop.DBus." + method, "string:" + name},
                   environment())
            .out;
    };
    // Through the bus, so that the server never holds a test's output open.
    runTool({"dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus",
             "/org/freedesktop/DBus", "org.freedesktop.DBus.StartServiceByName",
             "string:org.freedesktop.Akonadi.Control", "uint32:0"},
            environment());
    for (int i = 0; i < 200; ++i) {
        if (ask("NameHasOwner", "org.freedesktop.Akonadi").find("true") != std::string::npos) {
            return true;
        }
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

std::optional<std::string> AkonadiBus::client(const std::vector<std::string>& args) const {
    std::vector<std::string> argv{RAVU_AKONADI_CLIENT};
    argv.insert(argv.end(), args.begin(), args.end());
    const ProgramRun run = runTool(argv, environment());
    if (run.status != 0) {
        ADD_FAILURE() << args.front() << ": " << run.err;
        return std::nullopt;
    }
    return run.out;
}

std::vector<std::string> AkonadiBus::collections() const {
    return linesOf(client({"collections"}).value_or(""));
}

AkonadiBus::Resource AkonadiBus::resource(const std::string& type, const std::string& name,
                                          const std::string& settings) const {
    // Akonadi names a type's instances by a counter; each reads its settings file as it starts.
    writeFile(home() / ".config" / (type + "_" + std::to_string(this->made(type)) + "rc"),
              "[General]\n" + settings + "\n");
    Resource made;
    const auto printed = linesOf(client({"resource", type, name}).value_or(""));
    made.instance = printed.empty() ? "" : printed.back();
    for (const std::string& line : collections()) {
        const auto fields = line.find('|');
        if (made.collection.empty() && !made.instance.empty() &&
            line.find("|" + made.instance + "|") != std::string::npos &&
            line.find("application/x-vnd.akonadi.calendar.event") != std::string::npos) {
            made.collection = line.substr(0, fields);
        }
    }
    return made;
}

}  // namespace ravu::testing

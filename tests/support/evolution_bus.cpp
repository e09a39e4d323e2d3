#include "tests/support/evolution_bus.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <sstream>
#include <thread>

namespace ravu::testing {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

/// The built-in calendars the service would add, switched off so that a test sees only its own.
constexpr const char* builtInOff =
    "[Data Source]\nDisplayName=Off\nEnabled=false\nParent=local-stub\n\n[Calendar]\n"
    "BackendName=local\n";

/// The process ids of every client on the bus but the bus itself.
std::vector<pid_t> peersOf(const Environment& environment) {
    const auto call = [&](const std::vector<std::string>& args) {
        std::vector<std::string> argv{"dbus-send", "--session", "--print-reply",
                                      "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus"};
        argv.insert(argv.end(), args.begin(), args.end());
        return runTool(argv, environment).out;
    };
    std::vector<pid_t> pids;
    std::istringstream names{call({"org.freedesktop.DBus.ListNames"})};
    for (std::string word; names >> word;) {
        if (word.size() > 3 && word.starts_with("\":")) {
            const std::string reply = call({"org.freedesktop.DBus.GetConnectionUnixProcessID",
                                            "string:" + word.substr(1, word.size() - 2)});
            if (const auto at = reply.find("uint32 "); at != std::string::npos) {
                const pid_t pid = std::stoi(reply.substr(at + 7));
                if (pid != ::getpid()) {
                    pids.push_back(pid);
                }
            }
        }
    }
    return pids;
}

}  // namespace

std::string EvolutionBus::missing() {
    if (std::string{RAVU_EVOLUTION_MODULE}.empty() || std::string{RAVU_EDS_CLIENT}.empty()) {
        return "this build has no GNOME store (libecal-2.0 was not found)";
    }
    if (!fs::exists("/usr/libexec/evolution-source-registry") || !onPath("dbus-daemon") ||
        !onPath("dbus-send")) {
        return "evolution-data-server and dbus are needed (scripts/setup.sh installs them)";
    }
    return "";
}

std::string EvolutionBus::localSource(const std::string& title, const std::string& color,
                                      bool writable) {
    std::string text = "[Data Source]\nDisplayName=" + title +
                       "\nEnabled=true\nParent=local-stub\n\n[Calendar]\nBackendName=local\n"
                       "Color=" +
                       color + "\n";
    if (!writable) {
        text += "\n[Local Backend]\nCustomFile=file://@HOME@/" + title + ".ics\nWritable=false\n";
    }
    return text;
}

EvolutionBus::EvolutionBus(const std::map<std::string, std::string>& sources,
                           const std::string& config, const std::vector<std::string>& launcher) {
    const fs::path home = dir_.path();
    environment_ = {{"HOME", home.string()},
                    {"XDG_CONFIG_HOME", (home / ".config").string()},
                    {"XDG_DATA_HOME", (home / ".local/share").string()},
                    {"XDG_CACHE_HOME", (home / ".cache").string()},
                    {"XDG_STATE_HOME", (home / ".local/state").string()},
                    {"XDG_RUNTIME_DIR", (home / "run").string()},
                    {"GSETTINGS_BACKEND", "memory"},
                    {"RAVU_CALENDAR_BACKEND", "evolution-data-server"}};
    for (const auto& [name, folder] : environment_) {
        if (name.starts_with("XDG_")) {
            fs::create_directories(folder);
            fs::permissions(folder, fs::perms::owner_all);
        }
    }
    const fs::path folder = home / ".config/evolution/sources";
    writeFile(folder / "system-calendar.source", builtInOff);
    writeFile(folder / "birthdays.source", builtInOff);
    constexpr std::string_view ownFile = "CustomFile=file://@HOME@/";
    for (const auto& [uid, text] : sources) {
        writeFile(folder / (uid + ".source"), filled(text, {{"@HOME@", home.string()}}));
        // A read-only calendar's file is read, never made, by the service.
        if (const auto at = text.find(ownFile); at != std::string::npos) {
            const auto name =
                text.substr(at + ownFile.size(), text.find('\n', at) - at - ownFile.size());
            writeFile(home / name,
                      "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//test//EN\r\n"
                      "END:VCALENDAR\r\n");
        }
    }
    // The bus starts the service with the bus's own environment: the temporary home. It runs in
    // a session of its own, out of the process group that the runner ends with its child.
    std::vector<std::string> argv{"setsid", "--wait"};
    argv.insert(argv.end(), launcher.begin(), launcher.end());
    argv.insert(argv.end(),
                {"dbus-daemon", "--session", "--fork", "--print-address=1", "--print-pid=1"});
    if (!config.empty()) {
        writeFile(home / "bus.conf", filled(config, {{"@HOME@", home.string()}}));
        argv[argv.size() - 4] = "--config-file=" + (home / "bus.conf").string();
    }
    const ProgramRun bus = runTool(argv, environment_);
    std::istringstream printed{bus.out};
    std::string address;
    printed >> address >> busPid_;
    if (bus.status != 0 || address.empty()) {
        busPid_ = -1;
        return;
    }
    environment_["DBUS_SESSION_BUS_ADDRESS"] = address;
}

EvolutionBus::~EvolutionBus() {
    if (busPid_ <= 0) {
        return;
    }
    const std::vector<pid_t> peers = peersOf(environment_);
    ::kill(busPid_, SIGTERM);
    for (const pid_t pid : peers) {
        ::kill(pid, SIGTERM);
    }
    // None of them is a child of this process: wait until they are gone, then make sure.
    for (int i = 0; i < 100; ++i) {
        bool left = ::kill(busPid_, 0) == 0;
        for (const pid_t pid : peers) {
            left = left || ::kill(pid, 0) == 0;
        }
        if (!left) {
            return;
        }
        std::this_thread::sleep_for(20ms);
    }
    ::kill(busPid_, SIGKILL);
    for (const pid_t pid : peers) {
        ::kill(pid, SIGKILL);
    }
}

bool EvolutionBus::client(const std::vector<std::string>& args) const {
    std::vector<std::string> argv{RAVU_EDS_CLIENT};
    argv.insert(argv.end(), args.begin(), args.end());
    const ProgramRun run = runTool(argv, environment_);
    if (run.status != 0) {
        ADD_FAILURE() << run.err;
    }
    return run.status == 0;
}

}  // namespace ravu::testing

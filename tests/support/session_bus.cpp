#include "tests/support/session_bus.h"

#include <signal.h>
#include <unistd.h>

#include <sstream>
#include <thread>

namespace ravu::testing {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

SessionBus::SessionBus(const Environment& extra) {
    const fs::path home = dir_.path();
    environment_ = {{"HOME", home.string()},
                    {"XDG_CONFIG_HOME", (home / ".config").string()},
                    {"XDG_DATA_HOME", (home / ".local/share").string()},
                    {"XDG_CACHE_HOME", (home / ".cache").string()},
                    {"XDG_STATE_HOME", (home / ".local/state").string()},
                    {"XDG_RUNTIME_DIR", (home / "run").string()}};
    for (const auto& [name, folder] : environment_) {
        if (name.starts_with("XDG_")) {
            fs::create_directories(folder);
            fs::permissions(folder, fs::perms::owner_all);
        }
    }
    environment_.insert(extra.begin(), extra.end());
}

void SessionBus::start(const std::string& config, const std::vector<std::string>& launcher) {
    // The bus starts its services with its own environment: the temporary home. It runs in a
    // session of its own, out of the process group that the runner ends with its child.
    std::vector<std::string> argv{"setsid", "--wait"};
    argv.insert(argv.end(), launcher.begin(), launcher.end());
    argv.insert(argv.end(),
                {"dbus-daemon", "--session", "--fork", "--print-address=1", "--print-pid=1"});
    if (!config.empty()) {
        writeFile(home() / "bus.conf", filled(config, {{"@HOME@", home().string()}}));
        argv[argv.size() - 4] = "--config-file=" + (home() / "bus.conf").string();
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

std::vector<pid_t> SessionBus::peers() const {
    const auto call = [&](const std::vector<std::string>& args) {
        std::vector<std::string> argv{"dbus-send", "--session", "--print-reply",
                                      "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus"};
        argv.insert(argv.end(), args.begin(), args.end());
        return runTool(argv, environment_).out;
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

SessionBus::~SessionBus() {
    if (busPid_ <= 0) {
        return;
    }
    std::vector<pid_t> all = peers();
    all.push_back(busPid_);
    for (const pid_t pid : all) {
        ::kill(pid, SIGTERM);
    }
    // None of them is a child of this process: wait until they are gone, then make sure.
    for (int i = 0; i < 100; ++i) {
        bool left = false;
        for (const pid_t pid : all) {
            left = left || ::kill(pid, 0) == 0;
        }
        if (!left) {
            return;
        }
        std::this_thread::sleep_for(20ms);
    }
    for (const pid_t pid : all) {
        ::kill(pid, SIGKILL);
    }
}

}  // namespace ravu::testing

// ravu-calendar: one word on the command line, one JSON request on standard input where the
// word takes one, one JSON object on standard output.
#include <pwd.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <optional>

#include "cli/dispatch.h"
#include "cli/json_channel.h"
#include "cli/watchdog.h"
#include "convert/time.h"
#include "store/closed_store.h"
#include "store/module.h"
#include "store/vdir/root.h"
#include "store/vdir/vdir_store.h"

namespace {

/// The process environment, with the home directory from the user database when HOME is unset.
/// The program reads its environment here and nowhere else.
std::optional<std::string> processEnvironment(const char* name) {
    if (const char* value = std::getenv(name)) {
        return std::string{value};
    }
    if (std::string_view{name} == "HOME") {
        if (const passwd* entry = getpwuid(getuid()); entry != nullptr && entry->pw_dir) {
            return std::string{entry->pw_dir};
        }
    }
    return std::nullopt;
}

/// The user's zone: TZ when it names a known zone, else the system's zone, else UTC.
const ravu::TimeZone& userZone() {
    if (const char* tz = std::getenv("TZ"); tz != nullptr && *tz != '\0') {
        std::string_view name{tz};
        if (name.front() == ':') {
            name.remove_prefix(1);
        }
        if (const ravu::TimeZone* named = ravu::findZone(name)) {
            return *named;
        }
    }
    // The system's zone is where /etc/localtime points into the zone database.
    std::error_code error;
    const std::string target = std::filesystem::read_symlink("/etc/localtime", error).string();
    if (const auto at = target.find("zoneinfo/"); !error && at != std::string::npos) {
        if (const ravu::TimeZone* system = ravu::findZone(target.substr(at + 9))) {
            return *system;
        }
    }
    try {
        return *date::current_zone();
    } catch (const std::exception&) {
        return ravu::utcZone();
    }
}

/// The folder of the lock of a store in a module: the user's runtime folder, private to the user
/// and emptied at log-out, else the user's cache folder.
std::filesystem::path runtimeFolder() {
    for (const char* name : {"XDG_RUNTIME_DIR", "XDG_CACHE_HOME"}) {
        if (const auto folder = processEnvironment(name);
            folder && !folder->empty() && folder->front() == '/') {
            return *folder;
        }
    }
    return std::filesystem::path{processEnvironment("HOME").value_or("/")} / ".cache";
}

/// The store RAVU_CALENDAR_BACKEND selects: the directory store unless it names another.
/// "desktop" is the GNOME store's older name.
/// `deadline` is the run's, for a store that waits on a service; `waits` says whether it does.
std::unique_ptr<ravu::Store> chosenStore(const ravu::TimeZone& zone, const ravu::Clock& clock,
                                         const ravu::Deadline& deadline, bool& waits) {
    using namespace ravu;
    const std::string backend = processEnvironment("RAVU_CALENDAR_BACKEND").value_or("");
    if (backend.empty() || backend == "directory") {
        return std::make_unique<VdirStore>(storeRoot(processEnvironment), std::cerr, zone, clock);
    }
    if (backend == evolutionModule.name || backend == "desktop") {
        waits = true;
        return loadStoreModule(RAVU_EVOLUTION_MODULE, evolutionModule,
                               {&std::cerr, &zone, runtimeFolder(), &deadline, &clock});
    }
    if (backend == akonadiModule.name) {
        waits = true;
        return loadStoreModule(RAVU_AKONADI_MODULE, akonadiModule,
                               {&std::cerr, &zone, runtimeFolder(), &deadline, &clock});
    }
    std::string shown = backend;
    for (char& c : shown) {
        c = static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? '?' : c;
    }
    std::cerr << "ravu-calendar: RAVU_CALENDAR_BACKEND names no store: " << shown << '\n';
    return std::make_unique<ClosedStore>();
}

}  // namespace

int main(int argc, char** argv) {
    using namespace ravu;

    // The system's clocks: the program reads them here and nowhere else.
    const Clock clock{
        [] { return date::floor<std::chrono::microseconds>(std::chrono::system_clock::now()); },
        std::chrono::steady_clock::now};
    const auto started = clock.monotonic();
    const TimeZone& zone = userZone();
    const std::string_view word = argc >= 2 ? argv[1] : "";
    // The usage document needs no store.
    Deadline deadline;
    bool waits = false;
    const std::unique_ptr<Store> store =
        isCommand(word) ? chosenStore(zone, clock, deadline, waits) : nullptr;
    ClosedStore none;
    Context context{store ? *store : none, std::cerr, clock.wall(), zone};

    const Json request = takesRequest(word) ? readStdinJSON() : Json::object();
    // A store that waits on a service gets a deadline, which the run's size sets, and a
    // watchdog a bound past it.
    std::optional<Watchdog> watchdog;
    if (waits) {
        const auto bound = runBound(word, request);
        deadline = Deadline{started + bound - closingTime};
        watchdog.emplace(started + 2 * bound, unansweredDocument(word), stdout);
    }
    const auto print = [&](std::string_view text) {
        if (watchdog) {
            watchdog->print(text);
        } else {
            std::fwrite(text.data(), 1, text.size(), stdout);
        }
    };
    if (!runCommand(
            word, context, [&] { return request; }, print)) {
        fail(usageText);
    }
    if (watchdog) {
        watchdog->finish();
    } else {
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
#if !defined(__SANITIZE_ADDRESS__) && !defined(RAVU_LEAK_CHECKED)
    // The run is over once its document is out: tearing down the parsed calendars and the JSON
    // tree costs as much as building them. Sanitizer builds go the long way, so that
    // LeakSanitizer still sees every leak.
    std::fflush(nullptr);
    std::_Exit(0);
#endif
    return 0;
}

// The store next to the tools our users already run on the same calendars: a CalDAV round trip
// through vdirsyncer and Radicale, and khal reading what the program wrote and the other way.
//
// The peers run as subprocesses, each in a process group of its own, bounded by a timeout and
// killed with their children; a test skips itself when a peer is not installed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <date/tz.h>
#include <nlohmann/json.hpp>

#include "tests/support/process.h"

extern char** environ;

namespace ravu::testing {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using date::days;
using date::local_days;
using date::sys_days;
using std::chrono::hours;
using std::chrono::minutes;
using std::chrono::seconds;

// --- Subprocesses --------------------------------------------------------------------------

/// Changes to the environment of a tool: an empty value unsets the variable.
using Environment = std::map<std::string, std::string>;

struct ToolRun {
    std::string out;
    std::string err;
    int status = -1;  ///< exit status, or 128 + signal
    bool timedOut = false;
};

std::ostream& operator<<(std::ostream& stream, const ToolRun& run) {
    return stream << "status " << run.status << (run.timedOut ? " (timed out)" : "")
                  << "\n--- stdout\n"
                  << run.out << "--- stderr\n"
                  << run.err;
}

/// The full environment of a child, made before the fork so that the child only execs.
std::vector<std::string> environmentWith(const Environment& changes) {
    std::map<std::string, std::string> all;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view text{*entry};
        const auto equals = text.find('=');
        if (equals != std::string_view::npos) {
            all[std::string{text.substr(0, equals)}] = std::string{text.substr(equals + 1)};
        }
    }
    for (const auto& [name, value] : changes) {
        if (value.empty()) {
            all.erase(name);
        } else {
            all[name] = value;
        }
    }
    std::vector<std::string> entries;
    for (const auto& [name, value] : all) {
        entries.push_back(name + "=" + value);
    }
    return entries;
}

std::vector<char*> pointersTo(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

/// In the child: leads a process group of its own and dies with the test, so that neither a
/// timeout nor a crashed test leaves a peer behind.
void becomeGroupLeader() {
    ::setpgid(0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
}

bool onPath(const std::string& tool) {
    const char* path = std::getenv("PATH");
    std::istringstream folders{path ? path : ""};
    for (std::string folder; std::getline(folders, folder, ':');) {
        if (!folder.empty() && ::access((fs::path{folder} / tool).c_str(), X_OK) == 0) {
            return true;
        }
    }
    return false;
}

/// Runs a tool found on PATH, feeds it `input`, and kills its whole group after `timeout`.
ToolRun runTool(std::vector<std::string> argv, const Environment& changes = {},
                const std::string& input = "", std::chrono::seconds timeout = seconds{30}) {
    ToolRun run;
    std::vector<std::string> environment = environmentWith(changes);
    std::vector<char*> argp = pointersTo(argv);
    std::vector<char*> envp = pointersTo(environment);
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 ||
        ::pipe2(err, O_CLOEXEC) != 0) {
        run.err = "pipe failed";
        return run;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        becomeGroupLeader();
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        ::execvpe(argp[0], argp.data(), envp.data());
        _exit(127);
    }
    ::setpgid(pid, pid);
    for (int fd : {in[0], out[1], err[1]}) {
        ::close(fd);
    }
    ::signal(SIGPIPE, SIG_IGN);

    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::size_t written = 0;
    int inFd = in[1];
    if (input.empty()) {
        ::close(inFd);
        inFd = -1;
    } else {
        // A tool that answers while it reads must never find us stuck in a write.
        ::fcntl(inFd, F_SETFL, O_NONBLOCK);
    }
    int outFd = out[0], errFd = err[0];
    char buffer[65536];
    while (outFd >= 0 || errFd >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            run.timedOut = true;
            ::kill(-pid, SIGKILL);
            break;
        }
        std::vector<pollfd> fds;
        for (int fd : {outFd, errFd}) {
            if (fd >= 0) {
                fds.push_back({fd, POLLIN, 0});
            }
        }
        if (inFd >= 0) {
            fds.push_back({inFd, POLLOUT, 0});
        }
        if (::poll(fds.data(), fds.size(), static_cast<int>(left.count())) < 0) {
            continue;
        }
        for (const pollfd& ready : fds) {
            if (ready.revents == 0) {
                continue;
            }
            if (ready.fd == inFd) {
                const ssize_t n = ::write(inFd, input.data() + written, input.size() - written);
                if (n > 0) {
                    written += static_cast<std::size_t>(n);
                }
                if ((n < 0 && errno != EAGAIN) || written == input.size()) {
                    ::close(inFd);
                    inFd = -1;
                }
                continue;
            }
            int& fd = ready.fd == outFd ? outFd : errFd;
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0) {
                ::close(fd);
                fd = -1;
            } else {
                (&fd == &outFd ? run.out : run.err).append(buffer, static_cast<std::size_t>(n));
            }
        }
    }
    for (int fd : {inFd, outFd, errFd}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    // Whatever the tool left running in its group goes with it.
    ::kill(-pid, SIGKILL);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

/// A server in a process group of its own; the group is stopped when this goes, however the
/// test ends.
class Server {
  public:
    Server(std::vector<std::string> argv, const Environment& changes, const fs::path& log) {
        std::vector<std::string> environment = environmentWith(changes);
        std::vector<char*> argp = pointersTo(argv);
        std::vector<char*> envp = pointersTo(environment);
        const int logFd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        const int nullFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (logFd < 0 || nullFd < 0) {
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            becomeGroupLeader();
            ::dup2(nullFd, 0);
            ::dup2(logFd, 1);
            ::dup2(logFd, 2);
            ::execvpe(argp[0], argp.data(), envp.data());
            _exit(127);
        }
        if (pid_ > 0) {
            ::setpgid(pid_, pid_);
        }
        ::close(logFd);
        ::close(nullFd);
    }
    ~Server() { stop(); }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    bool running() {
        if (pid_ <= 0) {
            return false;
        }
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            ::kill(-pid_, SIGKILL);
            pid_ = -1;
            return false;
        }
        return true;
    }

    void stop() {
        if (pid_ <= 0) {
            return;
        }
        ::kill(-pid_, SIGTERM);
        const auto deadline = std::chrono::steady_clock::now() + seconds{3};
        int status = 0;
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(-pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds{20});
        }
        ::kill(-pid_, SIGKILL);
        pid_ = -1;
    }

  private:
    pid_t pid_ = -1;
};

/// A port on 127.0.0.1 that was free a moment ago.
int freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    if (fd >= 0) {
        ::close(fd);
    }
    return port;
}

bool accepts(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool connected =
        fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (fd >= 0) {
        ::close(fd);
    }
    return connected;
}

/// Every peer runs with its home, configuration and caches inside the test's folder, and talks
/// to 127.0.0.1 directly whatever proxy the machine has.
Environment peerEnvironment(const fs::path& home, const std::string& tz) {
    return {{"HOME", home.string()},
            {"XDG_CONFIG_HOME", (home / ".config").string()},
            {"XDG_DATA_HOME", (home / ".local/share").string()},
            {"XDG_CACHE_HOME", (home / ".cache").string()},
            {"TZ", tz},
            {"LC_ALL", "C.UTF-8"},
            {"http_proxy", ""},
            {"https_proxy", ""},
            {"HTTP_PROXY", ""},
            {"HTTPS_PROXY", ""},
            {"all_proxy", ""},
            {"ALL_PROXY", ""},
            {"no_proxy", "127.0.0.1,localhost"},
            {"NO_PROXY", "127.0.0.1,localhost"},
            {"RADICALE_CONFIG", ""},
            {"VDIRSYNCER_CONFIG", ""}};
}

// --- Documents -----------------------------------------------------------------------------

Json document(const ProgramRun& run) {
    EXPECT_EQ(run.status, 0) << run.err;
    return Json::parse(run.out, nullptr, false);
}

Json snapshot(const fs::path& root, const std::vector<std::string>& keys, const std::string& tz) {
    const auto run = runOnStore(root, {"snapshot"}, Json{{"logicalKeys", keys}}.dump(), tz);
    EXPECT_EQ(run.err, "");
    return document(run);
}

std::map<std::string, Json> calendarsByKey(const fs::path& root) {
    std::map<std::string, Json> byKey;
    const Json listed = document(runOnStore(root, {"calendars"}));
    for (const Json& entry : listed.value("calendars", Json::array())) {
        byKey[entry.at("logicalKey").get<std::string>()] = entry;
    }
    return byKey;
}

std::optional<date::sys_seconds> parseIsoText(const std::string& text) {
    int year = 0;
    unsigned month = 0, day = 0;
    int hour = 0, minute = 0, second = 0;
    char zulu = 0;
    if (std::sscanf(text.c_str(), "%d-%u-%uT%d:%d:%d%c", &year, &month, &day, &hour, &minute,
                    &second, &zulu) != 7 ||
        zulu != 'Z') {
        return std::nullopt;
    }
    return sys_days{date::year{year} / month / day} + hours{hour} + minutes{minute} +
           seconds{second};
}

// --- Calendar files ------------------------------------------------------------------------

std::string utcStamp(date::sys_seconds instant) {
    return date::format("%Y%m%dT%H%M%SZ", instant);
}
std::string localStamp(date::local_seconds wall) {
    return date::format("%Y%m%dT%H%M%S", wall);
}
std::string dayStamp(local_days day) {
    return date::format("%Y%m%d", day);
}

/// A VCALENDAR holding the given lines (components and their properties).
std::string calendarFile(const std::vector<std::string>& lines) {
    std::string text = "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//ravu-calendar tests//EN\r\n";
    for (const std::string& line : lines) {
        text += line + "\r\n";
    }
    return text + "END:VCALENDAR\r\n";
}

const std::vector<std::string> newYorkZone = {
    "BEGIN:VTIMEZONE",
    "TZID:America/New_York",
    "BEGIN:DAYLIGHT",
    "DTSTART:20070311T020000",
    "RRULE:FREQ=YEARLY;BYMONTH=3;BYDAY=2SU",
    "TZOFFSETFROM:-0500",
    "TZOFFSETTO:-0400",
    "TZNAME:EDT",
    "END:DAYLIGHT",
    "BEGIN:STANDARD",
    "DTSTART:20071104T020000",
    "RRULE:FREQ=YEARLY;BYMONTH=11;BYDAY=1SU",
    "TZOFFSETFROM:-0400",
    "TZOFFSETTO:-0500",
    "TZNAME:EST",
    "END:STANDARD",
    "END:VTIMEZONE",
};

std::vector<std::string> concat(std::vector<std::string> first,
                                const std::vector<std::string>& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

// --- The CalDAV round trip -----------------------------------------------------------------

/// A source of three calendars whose titles and colours must come through metadata: each title
/// differs from its folder's name.
void writeSourceStore(const fs::path& source, local_days day) {
    writeFile(source / "displayname", "Personal\n");
    writeFile(source / "type", "local\n");
    const auto at = [&](int dayOffset, hours hour, minutes minute = minutes{0}) {
        return date::local_seconds{day + days{dayOffset}} + hour + minute;
    };
    const auto utc = [&](int dayOffset, hours hour) {
        return date::sys_seconds{sys_days{(day + days{dayOffset}).time_since_epoch()} + hour};
    };

    const fs::path home = source / "home";
    writeFile(home / "displayname", "Home & Family\n");
    writeFile(home / "color", "#1BADF8\n");
    writeFile(
        home / "dentist.ics",
        calendarFile({"BEGIN:VEVENT", "UID:dentist@ravu.test", "DTSTAMP:20240101T000000Z",
                      "SUMMARY:Dentist", "LOCATION:Main Street 1",
                      "DTSTART:" + utcStamp(utc(2, hours{9})),
                      "DTEND:" + utcStamp(utc(2, hours{10})), "URL:ravu://item/x", "END:VEVENT"}));
    // A weekly series in another zone than the user's, one occurrence dropped and one moved.
    const std::string yogaStart = localStamp(at(3, hours{18}));
    writeFile(home / "yoga.ics",
              calendarFile(concat(
                  newYorkZone,
                  {"BEGIN:VEVENT", "UID:yoga@ravu.test", "DTSTAMP:20240101T000000Z", "SUMMARY:Yoga",
                   "DTSTART;TZID=America/New_York:" + yogaStart,
                   "DTEND;TZID=America/New_York:" + localStamp(at(3, hours{19}, minutes{15})),
                   "RRULE:FREQ=WEEKLY;COUNT=5",
                   "EXDATE;TZID=America/New_York:" + localStamp(at(10, hours{18})), "END:VEVENT",
                   "BEGIN:VEVENT", "UID:yoga@ravu.test", "DTSTAMP:20240101T000000Z",
                   "RECURRENCE-ID;TZID=America/New_York:" + localStamp(at(17, hours{18})),
                   "SUMMARY:Yoga (late)",
                   "DTSTART;TZID=America/New_York:" + localStamp(at(17, hours{20})),
                   "DTEND;TZID=America/New_York:" + localStamp(at(17, hours{21})), "END:VEVENT"})));

    const fs::path trips = source / "trips";
    writeFile(trips / "displayname", "Reisen \xE2\x9C\x88\n");
    writeFile(trips / "color", "#FF8000\n");
    writeFile(trips / "alps.ics",
              calendarFile({"BEGIN:VEVENT", "UID:alps@ravu.test", "DTSTAMP:20240101T000000Z",
                            "SUMMARY:Alps", "DTSTART;VALUE=DATE:" + dayStamp(day + days{7}),
                            "DTEND;VALUE=DATE:" + dayStamp(day + days{10}), "END:VEVENT"}));
    writeFile(trips / "train.ics",
              calendarFile({"BEGIN:VEVENT", "UID:train@ravu.test", "DTSTAMP:20240101T000000Z",
                            "SUMMARY:Train", "LOCATION:Gleis 5",
                            "DTSTART:" + localStamp(at(7, hours{7}, minutes{15})),
                            "DTEND:" + localStamp(at(7, hours{11}, minutes{40})), "END:VEVENT"}));

    const fs::path work = source / "work";
    writeFile(work / "displayname", "Work\n");
    writeFile(work / "review.ics",
              calendarFile({"BEGIN:VEVENT", "UID:review@ravu.test", "DTSTAMP:20240101T000000Z",
                            "SUMMARY:Review", "URL:https://example.com/review",
                            "DTSTART:" + utcStamp(utc(1, hours{13})),
                            "DTEND:" + utcStamp(utc(1, hours{14})), "END:VEVENT"}));
}

/// Radicale on a free port of 127.0.0.1 with its collections in `folder`, or none (with the
/// reason in `why`) when it does not come up.
struct Radicale {
    std::unique_ptr<Server> server;
    int port = 0;
};

/// The Python that has Radicale (Debian's python3-radicale), or none. The system's comes first:
/// a python3 earlier on PATH may be another installation without it.
std::optional<std::string> pythonWithRadicale() {
    for (const std::string python : {"/usr/bin/python3", "python3"}) {
        if (runTool({python, "-c", "import radicale"}, {}, "", seconds{20}).status == 0) {
            return python;
        }
    }
    return std::nullopt;
}

std::optional<Radicale> startRadicale(const std::string& python, const fs::path& folder,
                                      const Environment& environment, std::string& why) {
    // Another process may take the port between our probe and the server's bind: try again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        Radicale radicale;
        radicale.port = freePort();
        if (radicale.port == 0) {
            why = "no free port on 127.0.0.1";
            continue;
        }
        const fs::path config = folder / "radicale.conf";
        writeFile(config, "[server]\nhosts = 127.0.0.1:" + std::to_string(radicale.port) +
                              "\n[auth]\ntype = none\n[storage]\nfilesystem_folder = " +
                              (folder / "collections").string() +
                              "\n[web]\ntype = none\n[logging]\nlevel = warning\n");
        const fs::path log = folder / "radicale.log";
        radicale.server = std::make_unique<Server>(
            std::vector<std::string>{python, "-m", "radicale", "--config", config.string()},
            environment, log);
        const auto deadline = std::chrono::steady_clock::now() + seconds{15};
        while (radicale.server->running() && std::chrono::steady_clock::now() < deadline) {
            if (accepts(radicale.port)) {
                return radicale;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds{50});
        }
        why = "radicale did not come up:\n" + readFile(log);
    }
    return std::nullopt;
}

/// Two pairs: the source store up to the server, and the server down to an empty mirror.
std::string vdirsyncerConfig(const fs::path& folder, const fs::path& source, const fs::path& mirror,
                             int port) {
    const auto quoted = [](const fs::path& path) { return Json(path.string()).dump(); };
    // Radicale shows a collection's path as its title until it has one, and vdirsyncer takes
    // that for a conflicting title: the side that had the calendar first wins.
    const std::string pairOptions =
        "collections = [\"from a\"]\nmetadata = [\"displayname\", \"color\"]\n"
        "conflict_resolution = \"a wins\"\n";
    return "[general]\nstatus_path = " + quoted(folder / "status") +
           "\n\n[pair up]\na = \"source\"\nb = \"server\"\n" + pairOptions +
           "\n[pair down]\na = \"server\"\nb = \"mirror\"\n" + pairOptions +
           "\n[storage source]\ntype = \"filesystem\"\npath = " + quoted(source) +
           "\nfileext = \".ics\"\n\n[storage mirror]\ntype = \"filesystem\"\npath = " +
           quoted(mirror) + "\nfileext = \".ics\"\n\n[storage server]\ntype = \"caldav\"\n" +
           "url = \"http://127.0.0.1:" + std::to_string(port) +
           "/\"\nusername = \"personal\"\npassword = \"unused\"\n";
}

/// A record without the parts a peer may change: the identifier (peers rename files) and the
/// last-modified instant (a file written later is newer).
Json portable(Json record) {
    record.erase("uid");
    record.erase("lastModified");
    return record;
}

/// The records of a feed in a fixed order, with what `portable` leaves.
std::vector<Json> sortedRecords(const Json& feed) {
    std::vector<Json> records(feed.begin(), feed.end());
    std::sort(records.begin(), records.end(),
              [](const Json& a, const Json& b) { return portable(a).dump() < portable(b).dump(); });
    return records;
}

TEST(PeerInterop, VdirsyncerThroughRadicaleKeepsEveryFeed) {
    const std::optional<std::string> python = pythonWithRadicale();
    if (!python || !onPath("vdirsyncer")) {
        GTEST_SKIP() << "Radicale and vdirsyncer are needed (scripts/setup.sh installs them)";
    }
    TempDir dir;
    const std::string tz = "Europe/Berlin";
    const Environment environment = peerEnvironment(dir.path(), tz);
    const local_days day =
        date::floor<days>(date::locate_zone(tz)->to_local(std::chrono::system_clock::now()));

    const fs::path sourceRoot = dir.path() / "source";
    writeSourceStore(sourceRoot / "personal", day);
    // vdirsyncer syncs calendars, not accounts: the mirror's account is set up by hand, as a
    // user would on a second machine, and its keys differ from the source's in that part only.
    const fs::path mirrorRoot = dir.path() / "mirror";
    writeFile(mirrorRoot / "radicale" / "displayname", "Radicale\n");
    writeFile(mirrorRoot / "radicale" / "type", "caldav\n");
    const std::map<std::string, std::string> mirrorKeys = {
        {"local|Personal|Home & Family", "caldav|Radicale|Home & Family"},
        {"local|Personal|Reisen \xE2\x9C\x88", "caldav|Radicale|Reisen \xE2\x9C\x88"},
        {"local|Personal|Work", "caldav|Radicale|Work"},
    };

    std::string why;
    std::optional<Radicale> radicale = startRadicale(*python, dir.path(), environment, why);
    ASSERT_TRUE(radicale) << why;

    Environment syncEnvironment = environment;
    syncEnvironment["VDIRSYNCER_CONFIG"] = (dir.path() / "vdirsyncer.conf").string();
    writeFile(syncEnvironment["VDIRSYNCER_CONFIG"],
              vdirsyncerConfig(dir.path(), sourceRoot / "personal", mirrorRoot / "radicale",
                               radicale->port));
    // The mirror is filled only after the server holds everything: one pair after the other.
    const std::string yesToEveryNewCollection = "y\ny\ny\ny\ny\ny\ny\ny\n";
    for (const std::string pair : {"up", "down"}) {
        for (const std::vector<std::string>& command :
             {std::vector<std::string>{"vdirsyncer", "discover", pair},
              std::vector<std::string>{"vdirsyncer", "sync", pair},
              std::vector<std::string>{"vdirsyncer", "metasync", pair}}) {
            const ToolRun run =
                runTool(command, syncEnvironment,
                        command[1] == "discover" ? yesToEveryNewCollection : "", seconds{30});
            ASSERT_EQ(run.status, 0) << command[1] << " " << pair << ": " << run << "--- radicale\n"
                                     << readFile(dir.path() / "radicale.log");
        }
    }
    radicale->server->stop();

    // Every calendar is there under its mapped key, with its title and colour.
    const auto sourceCalendars = calendarsByKey(sourceRoot);
    const auto mirrorCalendars = calendarsByKey(mirrorRoot);
    ASSERT_EQ(sourceCalendars.size(), mirrorKeys.size());
    ASSERT_EQ(mirrorCalendars.size(), mirrorKeys.size());
    for (const auto& [sourceKey, mirrorKey] : mirrorKeys) {
        ASSERT_TRUE(sourceCalendars.contains(sourceKey)) << sourceKey;
        ASSERT_TRUE(mirrorCalendars.contains(mirrorKey)) << mirrorKey;
        Json expected = sourceCalendars.at(sourceKey);
        Json mirrored = mirrorCalendars.at(mirrorKey);
        for (Json* entry : {&expected, &mirrored}) {
            entry->erase("id");
            entry->erase("logicalKey");
            entry->erase("sourceTitle");
        }
        EXPECT_EQ(mirrored, expected) << sourceKey;
    }

    std::vector<std::string> sourceKeyList, mirrorKeyList;
    for (const auto& [sourceKey, mirrorKey] : mirrorKeys) {
        sourceKeyList.push_back(sourceKey);
        mirrorKeyList.push_back(mirrorKey);
    }
    const Json sourceFeeds = snapshot(sourceRoot, sourceKeyList, tz).value("feeds", Json{});
    const Json mirrorFeeds = snapshot(mirrorRoot, mirrorKeyList, tz).value("feeds", Json{});
    // Dentist and four of the five yoga classes; the Alps and the train; the review.
    const std::map<std::string, std::size_t> counts = {
        {"local|Personal|Home & Family", 5},
        {"local|Personal|Reisen \xE2\x9C\x88", 2},
        {"local|Personal|Work", 1},
    };
    for (const auto& [sourceKey, mirrorKey] : mirrorKeys) {
        ASSERT_TRUE(sourceFeeds.contains(sourceKey)) << sourceFeeds;
        ASSERT_TRUE(mirrorFeeds.contains(mirrorKey)) << mirrorFeeds;
        const auto sourceRecords = sortedRecords(sourceFeeds.at(sourceKey));
        const auto mirrorRecords = sortedRecords(mirrorFeeds.at(mirrorKey));
        ASSERT_EQ(sourceRecords.size(), counts.at(sourceKey)) << sourceFeeds.at(sourceKey);
        ASSERT_EQ(mirrorRecords.size(), sourceRecords.size()) << mirrorFeeds.at(mirrorKey);

        std::map<std::string, std::string> sourceToMirror, mirrorToSource;
        for (std::size_t i = 0; i < sourceRecords.size(); ++i) {
            const Json& original = sourceRecords[i];
            const Json& copy = mirrorRecords[i];
            EXPECT_EQ(portable(copy), portable(original)) << sourceKey;
            // The occurrences of one series still share one identifier, and only they do.
            const std::string from = original.at("uid"), to = copy.at("uid");
            EXPECT_EQ(sourceToMirror.emplace(from, to).first->second, to) << copy;
            EXPECT_EQ(mirrorToSource.emplace(to, from).first->second, from) << copy;
            EXPECT_GE(copy.value("lastModified", ""), original.value("lastModified", ""));
        }
    }
    const auto& home = sourceFeeds.at("local|Personal|Home & Family");
    EXPECT_TRUE(std::any_of(home.begin(), home.end(), [](const Json& record) {
        return record.value("ravuItemId", "") == "x";
    })) << home;
}

// --- khal ----------------------------------------------------------------------------------

/// khal over the store's one calendar, with fixed formats and the user's zone.
struct Khal {
    fs::path config;
    Environment environment;

    Khal(const fs::path& folder, const fs::path& calendar, const std::string& tz)
        : config(folder / "khal.conf"), environment(peerEnvironment(folder, tz)) {
        writeFile(config, "[calendars]\n[[ravu]]\npath = " + calendar.string() +
                              "\ntype = calendar\n\n[locale]\ntimeformat = %H:%M\n"
                              "dateformat = %Y-%m-%d\nlongdateformat = %Y-%m-%d\n"
                              "datetimeformat = %Y-%m-%d %H:%M\n"
                              "longdatetimeformat = %Y-%m-%d %H:%M\nlocal_timezone = " +
                              tz + "\ndefault_timezone = " + tz +
                              "\nfirstweekday = 0\n\n[default]\ndefault_calendar = ravu\n\n"
                              "[sqlite]\npath = " +
                              (folder / "khal.db").string() + "\n");
    }

    ToolRun run(std::vector<std::string> args) const {
        args.insert(args.begin(), {"khal", "-c", config.string()});
        return runTool(args, environment, "", seconds{30});
    }

    /// Each event and occurrence of the days [from, to] once, as "start|end|title|all-day".
    std::set<std::string> list(local_days from, local_days to) const {
        const ToolRun listed =
            run({"list", "--format", "{start}|{end}|{title}|{all-day}", "--day-format", "",
                 date::format("%Y-%m-%d", from), date::format("%Y-%m-%d", to)});
        EXPECT_EQ(listed.status, 0) << listed;
        std::set<std::string> lines;
        std::istringstream stream{listed.out};
        // A day line is empty; an event over several days is listed on each of them.
        for (std::string line; std::getline(stream, line);) {
            if (!line.empty()) {
                lines.insert(line);
            }
        }
        return lines;
    }
};

/// The line khal shows for a snapshot record, in the user's zone: times for a timed event, the
/// first and the last day for an all-day one.
std::string khalLine(const Json& record, const date::time_zone& zone) {
    const auto starts = parseIsoText(record.value("startsAt", ""));
    const auto ends = parseIsoText(record.value("endsAt", ""));
    if (!starts || !ends) {
        return "unreadable: " + record.dump();
    }
    const bool allDay = record.value("allDay", false);
    const char* format = allDay ? "%Y-%m-%d" : "%Y-%m-%d %H:%M";
    return date::format(format, zone.to_local(*starts)) + "|" +
           date::format(format, zone.to_local(*ends)) + "|" + record.value("title", "") + "|" +
           (allDay ? "True" : "False");
}

/// A Monday whose week has a change of the clocks in `zone` before its next Monday, at least
/// three days from now: a weekly series from it keeps its wall-clock time only when it is
/// written in the user's zone.
local_days mondayBeforeClockChange(const date::time_zone& zone) {
    const auto later = std::chrono::system_clock::now() + days{10};
    const auto change = zone.get_info(date::floor<seconds>(later)).end;
    const local_days day = date::floor<days>(zone.to_local(change));
    const auto sinceMonday = (date::weekday{day} - date::Monday).count();
    return day - days{sinceMonday == 0 ? 7 : sinceMonday};
}

std::string dayText(local_days day) {
    return date::format("%Y-%m-%d", day);
}

/// A store as `permission` makes it, and khal over its one calendar.
struct KhalOverNewStore {
    TempDir dir;
    std::string tz = "America/New_York";
    const date::time_zone& zone = *date::locate_zone(tz);
    fs::path root = dir.path() / "store";
    std::string key;
    std::optional<Khal> khal;

    /// False, with a failure reported, when the store is not as `permission` promises.
    bool make() {
        const auto granted = runOnStore(root, {"permission"}, "", tz);
        EXPECT_EQ(granted.out, "{\"granted\":true}\n") << granted.err;
        const auto calendars = calendarsByKey(root);
        std::vector<fs::path> folders;
        for (const auto& source : fs::directory_iterator(root)) {
            for (const auto& calendar : fs::directory_iterator(source.path())) {
                folders.push_back(calendar.path());
            }
        }
        EXPECT_EQ(calendars.size(), 1u);
        EXPECT_EQ(folders.size(), 1u);
        if (calendars.size() != 1 || folders.size() != 1) {
            return false;
        }
        key = calendars.begin()->first;
        khal.emplace(dir.path(), folders[0], tz);
        return true;
    }

    /// An instant as the host sends it: a wall-clock time of the user's zone, in UTC.
    std::string at(local_days day, hours hour, seconds after = seconds{0}) const {
        return date::format("%Y-%m-%dT%H:%M:%SZ",
                            zone.to_sys(date::local_seconds{day} + hour + after));
    }
};

TEST(PeerInterop, KhalShowsWhatApplyWrote) {
    if (!onPath("khal")) {
        GTEST_SKIP() << "khal is needed (scripts/setup.sh installs it)";
    }
    KhalOverNewStore store;
    ASSERT_TRUE(store.make());
    const local_days monday = mondayBeforeClockChange(store.zone);
    const auto utcMidnight = [](local_days day) {
        return date::format("%Y-%m-%dT%H:%M:%SZ", sys_days{day.time_since_epoch()});
    };
    // The two ways a host sends all-day days: as UTC midnights with an exclusive end, and as
    // a snapshot reports them, from the first midnight in the user's zone to the last second.
    const Json pending = {
        {{"op", "create"},
         {"itemId", "planning"},
         {"logicalKey", store.key},
         {"title", "Planning"},
         {"startsAt", store.at(monday + days{1}, hours{14}, minutes{15})},
         {"endsAt", store.at(monday + days{1}, hours{15}, minutes{45})}},
        {{"op", "create"},
         {"itemId", "offsite"},
         {"logicalKey", store.key},
         {"title", "Offsite"},
         {"allDay", true},
         {"startsAt", utcMidnight(monday + days{3})},
         {"endsAt", utcMidnight(monday + days{5})}},
        {{"op", "create"},
         {"itemId", "retreat"},
         {"logicalKey", store.key},
         {"title", "Retreat"},
         {"allDay", true},
         {"startsAt", store.at(monday + days{5}, hours{0})},
         {"endsAt", store.at(monday + days{7}, hours{0}, -seconds{1})}},
        {{"op", "create"},
         {"itemId", "standup"},
         {"logicalKey", store.key},
         {"title", "Standup"},
         {"startsAt", store.at(monday, hours{20}, minutes{30})},
         {"endsAt", store.at(monday, hours{21})},
         {"recurrenceRule", "FREQ=WEEKLY;BYDAY=MO,WE;COUNT=4"}},
    };
    const auto applied =
        runOnStore(store.root, {"apply"}, Json{{"pending", pending}}.dump(), store.tz);
    const Json result = document(applied);
    ASSERT_EQ(result.value("writes", Json::array()).size(), pending.size()) << result;
    for (const Json& write : result["writes"]) {
        EXPECT_EQ(write.value("status", ""), "applied") << write;
    }

    const auto timed = [&](local_days day, const std::string& from, const std::string& to,
                           const std::string& title) {
        return dayText(day) + " " + from + "|" + dayText(day) + " " + to + "|" + title + "|False";
    };
    const std::set<std::string> expected = {
        timed(monday + days{1}, "14:15", "15:45", "Planning"),
        dayText(monday + days{3}) + "|" + dayText(monday + days{4}) + "|Offsite|True",
        dayText(monday + days{5}) + "|" + dayText(monday + days{6}) + "|Retreat|True",
        // Across the change of the clocks, at the same time of day.
        timed(monday, "20:30", "21:00", "Standup"),
        timed(monday + days{2}, "20:30", "21:00", "Standup"),
        timed(monday + days{7}, "20:30", "21:00", "Standup"),
        timed(monday + days{9}, "20:30", "21:00", "Standup"),
    };
    EXPECT_EQ(store.khal->list(monday - days{1}, monday + days{20}), expected);
}

TEST(PeerInterop, SnapshotShowsWhatKhalWrote) {
    if (!onPath("khal")) {
        GTEST_SKIP() << "khal is needed (scripts/setup.sh installs it)";
    }
    KhalOverNewStore store;
    ASSERT_TRUE(store.make());
    const local_days monday = mondayBeforeClockChange(store.zone);
    for (const std::vector<std::string>& args : {
             std::vector<std::string>{"new", dayText(monday + days{1}), "10:00", "11:30",
                                      "Planning"},
             std::vector<std::string>{"new", dayText(monday + days{3}), dayText(monday + days{5}),
                                      "Conference"},
             // In its own zone, not the user's.
             std::vector<std::string>{"new", dayText(monday + days{2}), "09:00", "10:00",
                                      "Europe/Berlin", "Call Berlin"},
             std::vector<std::string>{"new", "-r", "weekly", "-u", dayText(monday + days{15}),
                                      dayText(monday), "08:30", "09:00", "Standup"},
         }) {
        const ToolRun made = store.khal->run(args);
        ASSERT_EQ(made.status, 0) << made;
    }

    const std::set<std::string> shown = store.khal->list(monday - days{1}, monday + days{20});
    const Json result = snapshot(store.root, {store.key}, store.tz);
    ASSERT_TRUE(result.contains("feeds") && result["feeds"].contains(store.key)) << result;
    std::set<std::string> fromSnapshot;
    for (const Json& record : result["feeds"][store.key]) {
        fromSnapshot.insert(khalLine(record, store.zone));
    }
    EXPECT_EQ(fromSnapshot, shown);
    // Not an empty match: the planning, the conference (once, whatever the days it spans), the
    // call and three standups, the last two after the change of the clocks.
    EXPECT_EQ(shown.size(), 6u) << ::testing::PrintToString(shown);
    EXPECT_TRUE(shown.contains(dayText(monday + days{14}) + " 08:30|" + dayText(monday + days{14}) +
                               " 09:00|Standup|False"))
        << ::testing::PrintToString(shown);
}

}  // namespace
}  // namespace ravu::testing

// Item files as tests write them, and khal over one calendar folder.
#pragma once

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/process.h"

namespace ravu::testing {

/// A calendar without events.
inline constexpr const char* emptyCalendar =
    "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//ravu//tests//EN\r\nEND:VCALENDAR\r\n";

/// The text of an item file with one VEVENT, built a line at a time:
/// `Item{"uid"}.summary("Sync").start("20240501T100000Z").text()`. Times are values or carry
/// their parameters (";TZID=Europe/Berlin:20240501T100000").
class Item {
  public:
    explicit Item(const std::string& uid)
        : lines_("UID:" + uid + "\r\nDTSTAMP:20240101T000000Z\r\n") {}
    Item& summary(const std::string& text) { return line("SUMMARY", text); }
    Item& start(const std::string& value) { return line("DTSTART", value); }
    Item& end(const std::string& value) { return line("DTEND", value); }
    Item& rrule(const std::string& value) { return line("RRULE", value); }
    /// Any other line of the VEVENT.
    Item& line(const std::string& name, const std::string& value) {
        lines_ += name + (value[0] == ';' || value[0] == ':' ? "" : ":") + value + "\r\n";
        return *this;
    }
    /// More components after the VEVENT (overrides, VTIMEZONE), as CRLF lines.
    Item& after(const std::string& components) {
        after_ += components;
        return *this;
    }
    std::string text() const {
        return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//ravu//tests//EN\r\nBEGIN:VEVENT\r\n" +
               lines_ + "END:VEVENT\r\n" + after_ + "END:VCALENDAR\r\n";
    }

  private:
    std::string lines_;
    std::string after_;
};

/// khal over one calendar folder, with fixed formats and `tz` as its zone. `environment` keeps
/// any peer's home and caches in `home`, and has it reach 127.0.0.1 without a proxy.
struct Khal {
    std::filesystem::path config;
    Environment environment;

    Khal(const std::filesystem::path& home, const std::filesystem::path& calendar,
         const std::string& tz)
        : config(home / "khal.conf"),
          environment{{"HOME", home.string()},
                      {"XDG_CONFIG_HOME", (home / "config").string()},
                      {"TZ", tz},
                      {"XDG_DATA_HOME", (home / "data").string()},
                      {"LC_ALL", "C.UTF-8"},
                      {"XDG_CACHE_HOME", (home / "cache").string()},
                      {"http_proxy", ""},
                      {"no_proxy", "127.0.0.1,localhost"}} {
        const std::string conf =
            readFile(std::filesystem::path{RAVU_SOURCE_DIR} / "tests/support/khal.conf");
        writeFile(config, filled(conf, {{"@CALENDAR@", calendar.string()},
                                        {"@TZ@", tz},
                                        {"@HOME@", home.string()}}));
    }

    ProgramRun run(std::vector<std::string> args) const {
        args.insert(args.begin(), {"khal", "-c", config.string()});
        return runTool(args, environment);
    }

    /// Each event and occurrence of the days [from, to] once, as "start|end|title|all-day".
    std::set<std::string> list(const std::string& from, const std::string& to) const {
        const ProgramRun listed = run(
            {"list", "--format", "{start}|{end}|{title}|{all-day}", "--day-format", "", from, to});
        EXPECT_EQ(listed.status, 0) << listed.err;
        std::set<std::string> lines;
        for (const std::string& line : linesOf(listed.out)) {
            if (!line.empty()) {  // a day line is empty
                lines.insert(line);
            }
        }
        return lines;
    }
};

}  // namespace ravu::testing

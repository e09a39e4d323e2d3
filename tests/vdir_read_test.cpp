// The directory store read back: calendars, times, every occurrence, and damaged files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <tuple>

#include "convert/time.h"
#include "store/vdir/vdir_store.h"
#include "tests/support/instants.h"
#include "tests/support/process.h"

namespace ravu {
namespace {

using testing::at;
using testing::zone;

namespace fs = std::filesystem;
using testing::TempDir;
using testing::writeFile;

std::string calendarText(const std::string& body) {
    return "BEGIN:VCALENDAR\nVERSION:2.0\nPRODID:-//ravu//test//EN\n" + body + "END:VCALENDAR\n";
}

std::string vevent(const std::string& lines) {
    return "BEGIN:VEVENT\nUID:test-uid\n" + lines + "END:VEVENT\n";
}

std::vector<std::string> starts(const std::vector<Event>& events) {
    std::vector<std::string> texts;
    for (const Event& event : events) {
        texts.push_back(event.startDate ? iso(*event.startDate) : "none");
    }
    return texts;
}

class VdirRead : public ::testing::Test {
  protected:
    /// A store as one run sees it; every call is a new run with nothing read yet.
    VdirStore store() const { return VdirStore{root, diagnostics, *userZone}; }

    /// Writes `<root>/local/cal/<name>.ics` holding the VEVENTs (and whatever else) given.
    void item(const std::string& name, const std::string& body,
              const std::string& folder = "local/cal") {
        writeFile(root / folder / (name + ".ics"), calendarText(body));
    }

    std::vector<Event> query(
        std::string_view from, std::string_view to,
        std::optional<std::vector<std::string>> calendars = std::nullopt) const {
        return store().eventsMatching(predicateForEvents(at(from), at(to), std::move(calendars)));
    }

    std::vector<std::string> lines() const {
        std::vector<std::string> all;
        std::istringstream in{diagnostics.str()};
        for (std::string line; std::getline(in, line);) {
            all.push_back(line);
        }
        return all;
    }

    TempDir dir;
    fs::path root = dir.path() / "store";
    mutable std::ostringstream diagnostics;
    const TimeZone* userZone = &utcZone();
};

// --- Calendars -------------------------------------------------------------------------------

TEST_F(VdirRead, CalendarsComeInFolderOrderWithTheirMetadata) {
    writeFile(root / "work/zeta/displayname", "  Team \n\n");
    writeFile(root / "work/type", "CalDAV\n");
    writeFile(root / "work/displayname", "Work server\n");
    writeFile(root / "local/Alpha/displayname", "\n");
    writeFile(root / "local/beta/color", "#1badf8\n");
    writeFile(root / "local/type", "carrier pigeon\n");
    fs::create_directories(root / "local/.hidden");
    fs::create_directories(root / ".trash/cal");
    writeFile(root / "local/notes.txt", "not a calendar");

    const auto calendars = store().calendars();
    ASSERT_EQ(calendars.size(), 3u);
    EXPECT_EQ(calendars[0].identifier, "local/Alpha");  // bytes: upper case first
    EXPECT_EQ(calendars[0].title, "Alpha");             // empty displayname: the folder's name
    EXPECT_EQ(calendars[0].source, (Source{"local", SourceType::other}));
    EXPECT_FALSE(calendars[0].color);
    EXPECT_EQ(calendars[1].identifier, "local/beta");
    EXPECT_EQ(calendars[2].identifier, "work/zeta");
    EXPECT_EQ(calendars[2].title, "Team");
    EXPECT_EQ(calendars[2].source, (Source{"Work server", SourceType::calDAV}));
    EXPECT_TRUE(calendars[2].allowsContentModifications);
}

TEST_F(VdirRead, ColoursScaleBackToTheFileBytes) {
    const std::vector<std::pair<std::string, std::optional<std::vector<int>>>> cases = {
        {"#1badf8\n", std::vector{0x1b, 0xad, 0xf8, 255}},
        {"#FF000080", std::vector{255, 0, 0, 0x80}},
        {"#000000", std::vector{0, 0, 0, 255}},
        {"#7f8081", std::vector{0x7f, 0x80, 0x81, 255}},
        {"red", std::nullopt},
        {"#12345", std::nullopt},
        {"#GG0000", std::nullopt},
        {"1BADF8", std::nullopt},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        writeFile(root / "local" / ("c" + std::to_string(i)) / "color", cases[i].first);
    }
    const auto calendars = store().calendars();
    ASSERT_EQ(calendars.size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& expected = cases[i].second;
        const auto& color = calendars[i].color;
        ASSERT_EQ(color.has_value(), expected.has_value()) << cases[i].first;
        if (!expected) {
            continue;
        }
        ASSERT_EQ(color->size(), 4u);
        for (std::size_t c = 0; c < 4; ++c) {
            // The catalogue rounds halves away from zero, as std::lround does.
            EXPECT_EQ(std::lround((*color)[c] * 255), (*expected)[c]) << cases[i].first;
        }
    }
}

TEST_F(VdirRead, OnlyPlainCalendarsOfOrdinarySourcesTakeChanges) {
    writeFile(root / "holidays/type", "subscribed");
    fs::create_directories(root / "holidays/public");
    writeFile(root / "people/type", "birthdays\n");
    fs::create_directories(root / "people/friends");
    writeFile(root / "local/locked/readonly", "");
    fs::create_directories(root / "local/open");
    fs::create_directories(root / "local/sealed");
    ::chmod((root / "local/sealed").c_str(), 0555);

    std::map<std::string, bool> writable;
    for (const Calendar& calendar : store().calendars()) {
        writable[calendar.identifier] = calendar.allowsContentModifications;
    }
    EXPECT_FALSE(writable.at("holidays/public"));
    EXPECT_FALSE(writable.at("people/friends"));
    EXPECT_FALSE(writable.at("local/locked"));
    EXPECT_TRUE(writable.at("local/open"));
    if (::geteuid() != 0) {  // root writes anywhere
        EXPECT_FALSE(writable.at("local/sealed"));
    }
    ::chmod((root / "local/sealed").c_str(), 0755);
}

TEST_F(VdirRead, LinkedCalendarFoldersAreFollowed) {
    writeFile(dir.path() / "elsewhere/trip.ics",
              calendarText(vevent("DTSTART:20240501T100000Z\nSUMMARY:Trip\n")));
    fs::create_directories(root / "local");
    fs::create_symlink(dir.path() / "elsewhere", root / "local/linked");

    ASSERT_EQ(store().calendars().size(), 1u);
    const auto events = query("2024-05-01T00:00:00Z", "2024-05-02T00:00:00Z");
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].identifier, "local/linked/trip");
}

// --- Identifiers -----------------------------------------------------------------------------

TEST_F(VdirRead, IdentifiersThatAreNotThreePlainNamesFindNothing) {
    item("good", vevent("DTSTART:20240501T100000Z\n"));
    // A file one level above the root that "../x/y" would name if it were taken as a path.
    writeFile(dir.path() / "x/y.ics", calendarText(vevent("DTSTART:20240501T100000Z\n")));
    writeFile(root / "local/.cal/x.ics", calendarText(vevent("DTSTART:20240501T100000Z\n")));

    for (const std::string& identifier : std::vector<std::string>{
             "", "good", "local/good", "local/cal/good/x", "/local/cal/good", "local//good",
             "../x/y", "local/../cal/good", "local/cal/..", "local/cal/.", "./cal/good",
             "local/.cal/x", ".local/cal/good", "local/cal/.good", "local/cal/good/",
             std::string{"local/cal/good\0x", 16}, "local/cal/good.ics"}) {
        EXPECT_FALSE(store().calendarItemWithIdentifier(identifier)) << identifier;
    }
    EXPECT_TRUE(store().calendarItemWithIdentifier("local/cal/good"));
    EXPECT_EQ(diagnostics.str(), "");
}

TEST_F(VdirRead, ASeriesIsFoundWithItsOwnStartAndEnd) {
    item("series", vevent("DTSTART:20240101T100000Z\nDTEND:20240101T110000Z\n"
                          "RRULE:FREQ=WEEKLY;BYDAY=MO,TH;COUNT=5\nSUMMARY:Sync\n"));
    const auto series = store().calendarItemWithIdentifier("local/cal/series");
    ASSERT_TRUE(series);
    EXPECT_EQ(series->startDate, at("2024-01-01T10:00:00Z"));
    EXPECT_EQ(series->endDate, at("2024-01-01T11:00:00Z"));
    EXPECT_FALSE(series->occurrenceDate);
    EXPECT_EQ(series->calendarId, "local/cal");
    // A series is reported without its rules: a save replaces them from the host's text.
    EXPECT_TRUE(series->recurrenceRules.empty());
}

// --- Times -----------------------------------------------------------------------------------

struct TimeCase {
    const char* name;
    std::string body;
    const char* start;
    const char* end;
    std::optional<std::string> timeZone;
    bool allDay = false;
};

TEST_F(VdirRead, TimesAreReadAsOtherClientsWriteThem) {
    const std::string fixedZone =
        "BEGIN:VTIMEZONE\nTZID:India Standard Time\nBEGIN:STANDARD\nDTSTART:16010101T000000\n"
        "TZOFFSETFROM:+0530\nTZOFFSETTO:+0530\nEND:STANDARD\nEND:VTIMEZONE\n";
    userZone = &zone("Europe/Berlin");
    const std::vector<TimeCase> cases = {
        {"utc", vevent("DTSTART:20240310T090000Z\nDTEND:20240310T100000Z\n"),
         "2024-03-10T09:00:00Z", "2024-03-10T10:00:00Z", "UTC"},
        {"system zone, after its DST change",
         vevent("DTSTART;TZID=America/New_York:20240310T090000\n"
                "DTEND;TZID=America/New_York:20240310T100000\n"),
         "2024-03-10T13:00:00Z", "2024-03-10T14:00:00Z", "America/New_York"},
        {"the file's own VTIMEZONE",
         fixedZone + vevent("DTSTART;TZID=India Standard Time:20240310T093000\n"
                            "DTEND;TZID=India Standard Time:20240310T103000\n"),
         "2024-03-10T04:00:00Z", "2024-03-10T05:00:00Z", std::nullopt},
        {"prefixed zone name",
         vevent("DTSTART;TZID=/freeassociation.sourceforge.net/Europe/Berlin:20240310T090000\n"),
         "2024-03-10T08:00:00Z", "2024-03-10T08:00:00Z", "Europe/Berlin"},
        {"floating", vevent("DTSTART:20240310T090000\nDURATION:PT90M\n"), "2024-03-10T08:00:00Z",
         "2024-03-10T09:30:00Z", std::nullopt},
        {"unknown TZID", vevent("DTSTART;TZID=Mars/Olympus:20240310T090000\n"),
         "2024-03-10T08:00:00Z", "2024-03-10T08:00:00Z", std::nullopt},
        {"TZID naming a path", vevent("DTSTART;TZID=../../../etc/passwd:20240310T090000\n"),
         "2024-03-10T08:00:00Z", "2024-03-10T08:00:00Z", std::nullopt},
        {"a day of DURATION across the DST change",
         vevent("DTSTART;TZID=Europe/Berlin:20240330T120000\nDURATION:P1D\n"),
         "2024-03-30T11:00:00Z", "2024-03-31T10:00:00Z", "Europe/Berlin"},
        {"all-day", vevent("DTSTART;VALUE=DATE:20240310\nDTEND;VALUE=DATE:20240311\n"),
         "2024-03-09T23:00:00Z", "2024-03-10T22:59:59Z", std::nullopt, true},
        {"two days across the DST change",
         vevent("DTSTART;VALUE=DATE:20240330\nDTEND;VALUE=DATE:20240401\n"), "2024-03-29T23:00:00Z",
         "2024-03-31T21:59:59Z", std::nullopt, true},
        {"all-day without an end", vevent("DTSTART;VALUE=DATE:20240310\n"), "2024-03-09T23:00:00Z",
         "2024-03-10T22:59:59Z", std::nullopt, true},
        {"all-day ending on its first day",
         vevent("DTSTART;VALUE=DATE:20240310\nDTEND;VALUE=DATE:20240310\n"), "2024-03-09T23:00:00Z",
         "2024-03-10T22:59:59Z", std::nullopt, true},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        item("e" + std::to_string(i), cases[i].body);
    }
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const TimeCase& c = cases[i];
        const auto event = store().calendarItemWithIdentifier("local/cal/e" + std::to_string(i));
        ASSERT_TRUE(event) << c.name;
        EXPECT_EQ(iso(*event->startDate), c.start) << c.name;
        EXPECT_EQ(iso(*event->endDate), c.end) << c.name;
        EXPECT_EQ(event->timeZone, c.timeZone) << c.name;
        EXPECT_EQ(event->allDay, c.allDay) << c.name;
    }
    EXPECT_EQ(diagnostics.str(), "");
}

// --- Recurrence ------------------------------------------------------------------------------

struct SeriesCase {
    const char* name;
    std::string body;
    const char* from;
    const char* to;
    std::vector<std::string> starts;
};

TEST_F(VdirRead, SeriesGiveEveryOccurrenceInTheWindow) {
    const std::vector<SeriesCase> cases = {
        {"last day of the month",
         vevent("DTSTART:20240131T100000Z\nRRULE:FREQ=MONTHLY;BYMONTHDAY=-1\n"),
         "2024-02-01T00:00:00Z",
         "2024-05-01T00:00:00Z",
         {"2024-02-29T10:00:00Z", "2024-03-31T10:00:00Z", "2024-04-30T10:00:00Z"}},
        {"last weekday of the month",
         vevent("DTSTART:20240131T100000Z\nRRULE:FREQ=MONTHLY;BYDAY=MO,TU,WE,TH,FR;BYSETPOS=-1\n"),
         "2024-02-01T00:00:00Z",
         "2024-05-01T00:00:00Z",
         {"2024-02-29T10:00:00Z", "2024-03-29T10:00:00Z", "2024-04-30T10:00:00Z"}},
        {"last Friday",
         vevent("DTSTART:20240126T100000Z\nRRULE:FREQ=MONTHLY;BYDAY=-1FR\n"),
         "2024-02-01T00:00:00Z",
         "2024-05-01T00:00:00Z",
         {"2024-02-23T10:00:00Z", "2024-03-29T10:00:00Z", "2024-04-26T10:00:00Z"}},
        {"week number",
         vevent("DTSTART:20240513T100000Z\nRRULE:FREQ=YEARLY;BYWEEKNO=20;BYDAY=MO\n"),
         "2024-01-01T00:00:00Z",
         "2027-01-01T00:00:00Z",
         {"2024-05-13T10:00:00Z", "2025-05-12T10:00:00Z", "2026-05-11T10:00:00Z"}},
        {"DTSTART off the rule counts towards COUNT",
         vevent("DTSTART:20240101T100000Z\nRRULE:FREQ=WEEKLY;BYDAY=TU;COUNT=3\n"),
         "2024-01-01T00:00:00Z",
         "2024-03-01T00:00:00Z",
         {"2024-01-01T10:00:00Z", "2024-01-02T10:00:00Z", "2024-01-09T10:00:00Z"}},
        {"a day named twice",
         vevent("DTSTART:20240101T100000Z\nRRULE:FREQ=WEEKLY;BYDAY=MO,MO;COUNT=3\n"),
         "2024-01-01T00:00:00Z",
         "2024-03-01T00:00:00Z",
         {"2024-01-01T10:00:00Z", "2024-01-08T10:00:00Z", "2024-01-15T10:00:00Z"}},
        {"UNTIL in UTC is inclusive in the series' zone",
         vevent("DTSTART;TZID=Europe/Berlin:20240101T100000\n"
                "RRULE:FREQ=DAILY;UNTIL=20240103T090000Z\n"),
         "2024-01-01T00:00:00Z",
         "2024-02-01T00:00:00Z",
         {"2024-01-01T09:00:00Z", "2024-01-02T09:00:00Z", "2024-01-03T09:00:00Z"}},
        {"EXDATE and RDATE",
         vevent("DTSTART:20240101T100000Z\nRRULE:FREQ=DAILY;COUNT=4\nEXDATE:20240102T100000Z\n"
                "RDATE:20240110T100000Z,20240103T100000Z\n"),
         "2024-01-01T00:00:00Z",
         "2024-02-01T00:00:00Z",
         {"2024-01-01T10:00:00Z", "2024-01-03T10:00:00Z", "2024-01-04T10:00:00Z",
          "2024-01-10T10:00:00Z"}},
        {"overrides move, stay and cancel",
         vevent("DTSTART:20240101T100000Z\nDTEND:20240101T110000Z\nRRULE:FREQ=WEEKLY;COUNT=6\n") +
             vevent("RECURRENCE-ID:20240108T100000Z\nDTSTART:20240301T100000Z\n"
                    "DTEND:20240301T110000Z\n") +  // moved out of the window
             vevent("RECURRENCE-ID:20240205T100000Z\nDTSTART:20240110T120000Z\n"
                    "DTEND:20240110T130000Z\n") +  // moved into it
             vevent("RECURRENCE-ID:20240115T100000Z\nDTSTART:20240115T100000Z\n"
                    "DTEND:20240115T110000Z\nSTATUS:CANCELLED\n"),
         "2024-01-01T00:00:00Z",
         "2024-01-31T00:00:00Z",
         {"2024-01-01T10:00:00Z", "2024-01-10T12:00:00Z", "2024-01-22T10:00:00Z",
          "2024-01-29T10:00:00Z"}},
        {"first occurrence long before the window",
         vevent("DTSTART:20000101T100000Z\nDTEND:20000101T110000Z\nRRULE:FREQ=WEEKLY;INTERVAL=2\n"),
         "2024-01-01T00:00:00Z",
         "2024-01-29T00:00:00Z",
         {"2024-01-13T10:00:00Z", "2024-01-27T10:00:00Z"}},
        {"every five hours, years on",
         vevent("DTSTART:20200101T000000Z\nRRULE:FREQ=HOURLY;INTERVAL=5\n"),
         "2024-03-01T00:00:00Z",
         "2024-03-02T00:00:00Z",
         {"2024-03-01T01:00:00Z", "2024-03-01T06:00:00Z", "2024-03-01T11:00:00Z",
          "2024-03-01T16:00:00Z", "2024-03-01T21:00:00Z"}},
        {"starts before the window and ends inside it",
         vevent("DTSTART:20231231T220000Z\nDTEND:20240101T020000Z\nRRULE:FREQ=DAILY;COUNT=2\n"),
         "2024-01-01T00:00:00Z",
         "2024-01-01T12:00:00Z",
         {"2023-12-31T22:00:00Z"}},
        {"no length: counted at the window's start, not at its end",
         vevent("DTSTART:20240101T000000Z\nRRULE:FREQ=HOURLY;INTERVAL=12;COUNT=3\n"),
         "2024-01-01T00:00:00Z",
         "2024-01-02T00:00:00Z",
         {"2024-01-01T00:00:00Z", "2024-01-01T12:00:00Z"}},
        {"all-day series skip a day given as a date-time",
         vevent("DTSTART;VALUE=DATE:20240101\nRRULE:FREQ=DAILY;COUNT=3\nEXDATE:20240102T000000Z\n"),
         "2024-01-01T00:00:00Z",
         "2024-02-01T00:00:00Z",
         {"2024-01-01T00:00:00Z", "2024-01-03T00:00:00Z"}},
        {"a leap day on a calendar scale",
         vevent("DTSTART;VALUE=DATE:20240229\n"
                "RRULE:RSCALE=GREGORIAN;FREQ=YEARLY;SKIP=FORWARD;COUNT=3\n"),
         "2024-01-01T00:00:00Z",
         "2027-01-01T00:00:00Z",
         {"2024-02-29T00:00:00Z", "2025-03-01T00:00:00Z", "2026-03-01T00:00:00Z"}},
        {"an override without a series",
         vevent("RECURRENCE-ID:20240105T100000Z\nDTSTART:20240105T110000Z\n"),
         "2024-01-01T00:00:00Z",
         "2024-02-01T00:00:00Z",
         {"2024-01-05T11:00:00Z"}},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const std::string calendar = "local/c" + std::to_string(i);
        item("series", cases[i].body, calendar);
        EXPECT_EQ(starts(query(cases[i].from, cases[i].to, std::vector{calendar})), cases[i].starts)
            << cases[i].name;
    }
    EXPECT_EQ(diagnostics.str(), "");
}

TEST_F(VdirRead, SkippingAheadGivesWhatWalkingFromTheStartGives) {
    // A rule with COUNT is walked from DTSTART; the same rule without it skips to the window.
    const std::vector<std::string> rules = {
        "FREQ=DAILY;INTERVAL=3",
        "FREQ=DAILY;BYHOUR=9,17",
        "FREQ=WEEKLY;INTERVAL=2;BYDAY=TU,TH",
        "FREQ=WEEKLY;INTERVAL=3;WKST=SU;BYDAY=SU,SA",
        "FREQ=MONTHLY;BYMONTHDAY=31",
        "FREQ=MONTHLY;INTERVAL=5;BYDAY=2WE",
        "FREQ=MONTHLY;BYDAY=MO,TU,WE,TH,FR;BYSETPOS=-2",
        "FREQ=YEARLY;BYMONTH=2;BYMONTHDAY=29",
        "FREQ=YEARLY;BYWEEKNO=1,27;BYDAY=MO",
        "FREQ=YEARLY;BYYEARDAY=-1,100",
        "FREQ=HOURLY;INTERVAL=7",
        "FREQ=HOURLY;INTERVAL=5;BYDAY=MO,FR;BYMINUTE=0,30",
        "FREQ=MINUTELY;INTERVAL=1001",
    };
    for (std::size_t i = 0; i < rules.size(); ++i) {
        for (const char* end : {"", ";COUNT=100000"}) {
            item("r" + std::to_string(i) + (*end ? "c" : ""),
                 vevent("DTSTART;TZID=Europe/Berlin:20190102T093000\nDTEND;TZID=Europe/Berlin:"
                        "20190102T103000\nRRULE:" +
                        rules[i] + end + "\n"));
        }
    }
    const auto events = query("2024-02-01T00:00:00Z", "2025-04-01T00:00:00Z");
    EXPECT_TRUE(std::is_sorted(events.begin(), events.end(), [](const Event& a, const Event& b) {
        return std::tie(a.startDate, a.identifier) < std::tie(b.startDate, b.identifier);
    }));
    for (std::size_t i = 0; i < rules.size(); ++i) {
        std::vector<Event> open, counted;
        for (const Event& event : events) {
            if (event.identifier == "local/cal/r" + std::to_string(i)) {
                open.push_back(event);
            } else if (event.identifier == "local/cal/r" + std::to_string(i) + "c") {
                counted.push_back(event);
            }
        }
        EXPECT_FALSE(open.empty()) << rules[i];
        EXPECT_EQ(starts(open), starts(counted)) << rules[i];
    }
}

TEST_F(VdirRead, OccurrencesFollowDaylightSavingTime) {
    userZone = &zone("America/New_York");
    item("berlin", vevent("DTSTART;TZID=Europe/Berlin:20240318T100000\n"
                          "RRULE:FREQ=WEEKLY;COUNT=3\n"));
    item("floating", vevent("DTSTART:20240305T090000\nRRULE:FREQ=WEEKLY;COUNT=2\n"));
    item("days", vevent("DTSTART;VALUE=DATE:20240309\nRRULE:FREQ=DAILY;COUNT=3\n"));
    // A zone known only from the file's VTIMEZONE, with the same rules as Berlin's.
    item("custom",
         "BEGIN:VTIMEZONE\nTZID:W. Europe Standard Time\nBEGIN:STANDARD\n"
         "DTSTART:16011028T030000\nRRULE:FREQ=YEARLY;BYDAY=-1SU;BYMONTH=10\n"
         "TZOFFSETFROM:+0200\nTZOFFSETTO:+0100\nEND:STANDARD\nBEGIN:DAYLIGHT\n"
         "DTSTART:16010325T020000\nRRULE:FREQ=YEARLY;BYDAY=-1SU;BYMONTH=3\n"
         "TZOFFSETFROM:+0100\nTZOFFSETTO:+0200\nEND:DAYLIGHT\nEND:VTIMEZONE\n" +
             vevent("DTSTART;TZID=W. Europe Standard Time:20240325T100000\n"
                    "DURATION:PT1H\nRRULE:FREQ=WEEKLY;COUNT=2\n"));
    const auto events = query("2024-03-01T00:00:00Z", "2024-04-30T00:00:00Z");

    std::map<std::string, std::vector<std::string>> byItem;
    for (const Event& event : events) {
        byItem[event.identifier].push_back(iso(*event.startDate) + " " + iso(*event.endDate));
        EXPECT_EQ(event.occurrenceDate, event.startDate);
    }
    // In Berlin's zone: 10:00 is 09:00Z before its change on 31 March and 08:00Z after.
    EXPECT_EQ(byItem["local/cal/berlin"],
              (std::vector<std::string>{"2024-03-18T09:00:00Z 2024-03-18T09:00:00Z",
                                        "2024-03-25T09:00:00Z 2024-03-25T09:00:00Z",
                                        "2024-04-01T08:00:00Z 2024-04-01T08:00:00Z"}));
    EXPECT_EQ(byItem["local/cal/custom"],
              (std::vector<std::string>{"2024-03-25T09:00:00Z 2024-03-25T10:00:00Z",
                                        "2024-04-01T08:00:00Z 2024-04-01T09:00:00Z"}));
    // In the user's zone, which changes on 10 March.
    EXPECT_EQ(byItem["local/cal/floating"],
              (std::vector<std::string>{"2024-03-05T14:00:00Z 2024-03-05T14:00:00Z",
                                        "2024-03-12T13:00:00Z 2024-03-12T13:00:00Z"}));
    EXPECT_EQ(byItem["local/cal/days"],
              (std::vector<std::string>{"2024-03-09T05:00:00Z 2024-03-10T04:59:59Z",
                                        "2024-03-10T05:00:00Z 2024-03-11T03:59:59Z",
                                        "2024-03-11T04:00:00Z 2024-03-12T03:59:59Z"}));
}

// --- Event properties ------------------------------------------------------------------------

TEST_F(VdirRead, EventsCarryTheirTextsAsStored) {
    item("plain", vevent("DTSTART:20240501T100000Z\n"));
    item("texts", vevent("DTSTART:20240501T110000Z\nSUMMARY:\nLOCATION:Room 1\\, top floor\n"
                         "URL:ravu://item/a%20b?x=1,2\n"));
    const auto events = query("2024-05-01T00:00:00Z", "2024-05-02T00:00:00Z");
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].identifier, "local/cal/plain");
    EXPECT_FALSE(events[0].title);
    EXPECT_FALSE(events[0].location);
    EXPECT_FALSE(events[0].url);
    EXPECT_FALSE(events[0].occurrenceDate);
    EXPECT_EQ(events[1].title, "");
    EXPECT_EQ(events[1].location, "Room 1, top floor");
    EXPECT_EQ(events[1].url, "ravu://item/a%20b?x=1,2");
}

TEST_F(VdirRead, LastModifiedIsTheLaterOfTheStampAndTheFileTime) {
    const auto setFileTime = [&](const std::string& name, std::time_t seconds, long nanoseconds) {
        const timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
        ASSERT_EQ(::utimensat(AT_FDCWD, (root / "local/cal" / (name + ".ics")).c_str(), times, 0),
                  0);
    };
    const std::string series = vevent(
        "DTSTART:20240501T100000Z\nRRULE:FREQ=DAILY;COUNT=2\n"
        "LAST-MODIFIED:20230601T000000Z\n");
    item("stamped", series + vevent("RECURRENCE-ID:20240502T100000Z\nDTSTART:20240502T120000Z\n"
                                    "LAST-MODIFIED:20230701T000000Z\n"));
    setFileTime("stamped", 1577836800, 0);  // 2020-01-01
    item("edited", series);
    setFileTime("edited", 1735689600, 123456789);  // 2025-01-01, as khal leaves it

    std::map<std::string, std::vector<std::string>> modified;
    for (const Event& event : query("2024-05-01T00:00:00Z", "2024-05-03T00:00:00Z")) {
        modified[event.identifier].push_back(date::format("%FT%TZ", *event.lastModified));
    }
    EXPECT_EQ(
        modified["local/cal/stamped"],
        (std::vector<std::string>{"2023-06-01T00:00:00.000000Z", "2023-07-01T00:00:00.000000Z"}));
    EXPECT_EQ(
        modified["local/cal/edited"],
        (std::vector<std::string>{"2025-01-01T00:00:00.123456Z", "2025-01-01T00:00:00.123456Z"}));
}

TEST_F(VdirRead, QueriesKeepTheirOrderAndTheirCalendars) {
    item("b", vevent("DTSTART:20240501T100000Z\n"));
    item("a", vevent("DTSTART:20240501T100000Z\n"), "other/cal");
    item("c", vevent("DTSTART:20240501T090000Z\n"), "other/cal");
    item("d", vevent("DTSTART:20240501T080000Z\n"), "third/cal");

    std::vector<std::string> order;
    for (const Event& event : query("2024-05-01T00:00:00Z", "2024-05-02T00:00:00Z")) {
        order.push_back(event.identifier);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"third/cal/d", "other/cal/c", "local/cal/b",
                                               "other/cal/a"}));
    const auto some = query("2024-05-01T00:00:00Z", "2024-05-02T00:00:00Z",
                            std::vector<std::string>{"other/cal", "../store/local/cal", "other/cal",
                                                     "missing/cal", "local"});
    EXPECT_EQ(some.size(), 2u);
}

// --- Damaged content -------------------------------------------------------------------------

TEST_F(VdirRead, UnreadableItemsAreSkippedAndToldOnce) {
    item("good", vevent("DTSTART:20240501T100000Z\n"));
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"garbage", "not a calendar at all\n"},
        {"cut", "BEGIN:VCALENDAR\nBEGIN:VEVENT\nDTSTART:20240501T100000Z\nEND:VEVENT\n"},
        {"nostart", calendarText(vevent("SUMMARY:When?\n"))},
        {"badstart", calendarText(vevent("DTSTART:tomorrow\n"))},
        {"backwards", calendarText(vevent("DTSTART:20240501T100000Z\nDTEND:20240501T090000Z\n"))},
        {"badoverride", calendarText(vevent("DTSTART:20240501T100000Z\nRRULE:FREQ=DAILY\n") +
                                     vevent("RECURRENCE-ID:20240502T100000Z\n"
                                            "DTSTART:20240502T100000Z\nDTEND:20240501T100000Z\n"))},
        {"huge", calendarText(vevent("DTSTART:20240501T100000Z\nDESCRIPTION:" +
                                     std::string(5 * 1024 * 1024, 'x') + "\n"))},
    };
    for (const auto& [name, text] : bad) {
        writeFile(root / "local/cal" / (name + ".ics"), text);
    }
    fs::create_directories(root / "local/cal/folder.ics");
    fs::create_symlink(root / "local/cal/good.ics", root / "local/cal/link.ics");
    ASSERT_EQ(::mkfifo((root / "local/cal/pipe.ics").c_str(), 0600), 0);
    writeFile(root / "local/cal/notes.txt", "ignored");
    writeFile(root / "local/cal/.hidden.ics", "ignored");
    writeFile(root / "local/cal/.ics", "ignored");

    const VdirStore once = store();
    for (int run = 0; run < 2; ++run) {
        const auto events = once.eventsMatching(predicateForEvents(
            at("2024-04-01T00:00:00Z"), at("2024-06-01T00:00:00Z"), std::nullopt));
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].identifier, "local/cal/good");
    }
    EXPECT_FALSE(once.calendarItemWithIdentifier("local/cal/garbage"));
    EXPECT_FALSE(once.calendarItemWithIdentifier("local/cal/link"));

    std::vector<std::string> expected;
    for (const auto& [name, text] : bad) {
        expected.push_back("ravu-calendar: skipping unreadable event file: local/cal/" + name +
                           ".ics");
    }
    for (const char* name : {"folder", "link", "pipe"}) {
        expected.push_back("ravu-calendar: skipping unreadable event file: local/cal/" +
                           std::string{name} + ".ics");
    }
    auto told = lines();
    std::sort(told.begin(), told.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(told, expected);
}

TEST_F(VdirRead, TextThatIsNotUtf8IsRepaired) {
    item("latin1", vevent("DTSTART:20240501T100000Z\nSUMMARY:Caf\xe9 \xff\xfe"
                          "crème\n"));
    const auto event = store().calendarItemWithIdentifier("local/cal/latin1");
    ASSERT_TRUE(event);
    EXPECT_EQ(event->title,
              "Caf\xEF\xBF\xBD \xEF\xBF\xBD\xEF\xBF\xBD"
              "crème");
    EXPECT_EQ(diagnostics.str(), "");
}

TEST_F(VdirRead, EachFileIsReadOncePerRun) {
    item("changing", vevent("DTSTART:20240501T100000Z\nSUMMARY:First\n"));
    const VdirStore run = store();
    EXPECT_EQ(run.calendarItemWithIdentifier("local/cal/changing")->title, "First");

    item("changing", vevent("DTSTART:20240501T100000Z\nSUMMARY:Second\n"));
    item("new", vevent("DTSTART:20240501T100000Z\n"));
    const auto events = run.eventsMatching(
        predicateForEvents(at("2024-05-01T00:00:00Z"), at("2024-05-02T00:00:00Z"), std::nullopt));
    ASSERT_EQ(events.size(), 2u);  // a file new to the run is read
    EXPECT_EQ(events[0].title, "First");
    EXPECT_EQ(store().calendarItemWithIdentifier("local/cal/changing")->title, "Second");
}

// --- Peers -----------------------------------------------------------------------------------

TEST_F(VdirRead, ReadsWhatKhalWrites) {
    if (std::system("command -v khal >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "khal is not installed";
    }
    fs::create_directories(root / "local/cal");
    const fs::path config = dir.path() / "khal.conf";
    std::ofstream{config} << "[calendars]\n[[cal]]\npath = " << (root / "local/cal").string()
                          << "\n[locale]\ntimeformat = %H:%M\ndateformat = %Y-%m-%d\n"
                             "longdateformat = %Y-%m-%d\ndatetimeformat = %Y-%m-%d %H:%M\n"
                             "longdatetimeformat = %Y-%m-%d %H:%M\n"
                             "default_timezone = Europe/Berlin\nlocal_timezone = Europe/Berlin\n"
                             "[sqlite]\npath = "
                          << (dir.path() / "khal.db").string() << "\n";
    const auto khal = [&](const std::string& arguments) {
        const std::string command = "HOME='" + dir.path().string() + "' khal -c '" +
                                    config.string() + "' new -a cal " + arguments +
                                    " >/dev/null 2>&1";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    };
    khal("2024-05-02 10:00 11:30 Timed");
    khal("2024-05-03 Whole day");
    khal("-r weekly 2024-05-06 09:00 10:00 Weekly");

    userZone = &zone("Europe/Berlin");
    std::vector<std::string> seen;
    for (const Event& event : query("2024-05-01T00:00:00Z", "2024-05-21T00:00:00Z")) {
        seen.push_back(*event.title + " " + iso(*event.startDate) + " " + iso(*event.endDate) +
                       (event.allDay ? " all-day" : " " + event.timeZone.value_or("-")));
    }
    EXPECT_EQ(seen, (std::vector<std::string>{
                        "Timed 2024-05-02T08:00:00Z 2024-05-02T09:30:00Z Europe/Berlin",
                        "Whole day 2024-05-02T22:00:00Z 2024-05-03T21:59:59Z all-day",
                        "Weekly 2024-05-06T07:00:00Z 2024-05-06T08:00:00Z Europe/Berlin",
                        "Weekly 2024-05-13T07:00:00Z 2024-05-13T08:00:00Z Europe/Berlin",
                        "Weekly 2024-05-20T07:00:00Z 2024-05-20T08:00:00Z Europe/Berlin"}));
    EXPECT_EQ(diagnostics.str(), "");
}

}  // namespace
}  // namespace ravu

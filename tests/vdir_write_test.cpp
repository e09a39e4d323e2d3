// Writing the directory store: safe files, the lock, events as iCalendar, and saves and removals
// read back through the reading store and by peers.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "convert/days.h"
#include "convert/time.h"
#include "store/vdir/safe_file.h"
#include "store/vdir/vdir_store.h"
#include "tests/support/instants.h"
#include "tests/support/process.h"

namespace ravu {
namespace {
using namespace ravu::vdir;

using testing::at;
using testing::zone;

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;
using Lines = std::vector<std::string>;


std::string calendarText(const std::string& eventLines, const std::string& more = "") {
    return "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//test//EN\r\nBEGIN:VEVENT\r\n" + eventLines +
           "END:VEVENT\r\n" + more + "END:VCALENDAR\r\n";
}

Lines linesNamed(const std::string& text, const std::string& name) {
    Lines found;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
        const std::string line = text.substr(start, end - start);
        if (line.starts_with(' ') && !found.empty() && found.back() != "\n") {
            found.back() += line.substr(1);
        } else {
            found.push_back(line.starts_with(name + ":") || line.starts_with(name + ";") ? line
                                                                                         : "\n");
        }
    }
    std::erase(found, "\n");
    return found;
}

Event timedEvent(std::string_view start, std::string_view end) {
    Event event;
    event.title = "Meeting";
    event.startDate = at(start);
    event.endDate = at(end);
    return event;
}

bool mentions(const WriteError& error, std::string_view words) {
    return error && error->message.find(words) != std::string::npos;
}

// ---------------------------------------------------------------------------------------------
// Safe files and the lock

// The store

const std::string calendarId = "local/calendar";

/// A recurring event as khal writes it, with what the store does not model and one override.
const std::string khalSeries =
    "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//PIMUTILS.ORG//NONSGML khal / icalendar //EN\r\n"
    "BEGIN:VTIMEZONE\r\nTZID:Europe/Berlin\r\n"
    "BEGIN:DAYLIGHT\r\nDTSTART;VALUE=DATE-TIME:20240331T030000\r\nTZNAME:CEST\r\n"
    "TZOFFSETFROM:+0100\r\nTZOFFSETTO:+0200\r\nEND:DAYLIGHT\r\n"
    "BEGIN:STANDARD\r\nDTSTART;VALUE=DATE-TIME:20241027T020000\r\nTZNAME:CET\r\n"
    "TZOFFSETFROM:+0200\r\nTZOFFSETTO:+0100\r\nEND:STANDARD\r\nEND:VTIMEZONE\r\n"
    "BEGIN:VEVENT\r\nSUMMARY:Weekly sync\r\n"
    "DTSTART;TZID=Europe/Berlin;VALUE=DATE-TIME:20240506T100000\r\n"
    "DTEND;TZID=Europe/Berlin;VALUE=DATE-TIME:20240506T110000\r\n"
    "DTSTAMP;VALUE=DATE-TIME:20240401T000000Z\r\nUID:khal-series\r\nRRULE:FREQ=WEEKLY\r\n"
    "DESCRIPTION:Agenda here\r\nATTENDEE;CN=Ann:mailto:ann@example.com\r\n"
    "CATEGORIES:work\r\nX-PEER:kept\r\n"
    "BEGIN:VALARM\r\nACTION:DISPLAY\r\nDESCRIPTION:Agenda here\r\nTRIGGER:-PT15M\r\n"
    "END:VALARM\r\nEND:VEVENT\r\n"
    "BEGIN:VEVENT\r\nSUMMARY:Moved sync\r\nUID:khal-series\r\n"
    "RECURRENCE-ID;TZID=Europe/Berlin;VALUE=DATE-TIME:20240527T100000\r\n"
    "DTSTART;TZID=Europe/Berlin;VALUE=DATE-TIME:20240527T140000\r\n"
    "DTEND;TZID=Europe/Berlin;VALUE=DATE-TIME:20240527T150000\r\n"
    "DTSTAMP;VALUE=DATE-TIME:20240401T000000Z\r\nSEQUENCE:2\r\nEND:VEVENT\r\n"
    "END:VCALENDAR\r\n";
const std::string khalId = calendarId + "/khal-series";

/// A store root with one writable calendar, and stores opened on it as runs open them.
class StoreTest : public ::testing::Test {
  protected:
    StoreTest() { fs::create_directories(folder()); }
    fs::path root() const { return dir_.path() / "root"; }
    fs::path folder() const { return root() / "local" / "calendar"; }
    std::string item(const std::string& identifier) const {
        return readFile(root() / (identifier + ".ics"));
    }

    /// A run of its own in the user's zone, whose clock says 2024-06-01T12:00:00Z.
    std::unique_ptr<VdirStore> open(const TimeZone& in = zone("UTC")) {
        auto store = std::make_unique<VdirStore>(root(), diagnostics_, in);
        store->setClock([] { return parseISO("2024-06-01T12:00:00Z").value(); });
        return store;
    }

    /// The item files of the calendar.
    std::vector<std::string> items() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder())) {
            if (!entry.path().filename().string().starts_with('.')) {
                names.push_back(entry.path().filename().string());
            }
        }
        return names;
    }

    std::ostringstream diagnostics_;

  private:
    TempDir dir_;
};

std::vector<Event> occurrencesOf(const VdirStore& store, const std::string& identifier,
                                 Instant from, Instant to) {
    std::vector<Event> found = store.eventsMatching(predicateForEvents(from, to, std::nullopt));
    std::erase_if(found, [&](const Event& event) { return event.identifier != identifier; });
    return found;
}

Event occurrenceAt(const VdirStore& store, const std::string& identifier, Instant start) {
    for (const Event& event : occurrencesOf(store, identifier, start - 48h, start + 48h)) {
        if (event.occurrenceDate == start) {
            return event;
        }
    }
    ADD_FAILURE() << "no occurrence at " << iso(start);
    return Event{};
}

TEST_F(StoreTest, NewEventsReadBackAsSaved) {
    Event timed = timedEvent("2024-05-01T10:00:00.750Z", "2024-05-01T11:30:00Z");
    timed.title =
        "A title long enough to need folding, with ; , \\ and a\nline break, Grüße "
        "日本語のテキスト and more";
    timed.location = "Room 1";
    timed.url = "ravu://item/timed";
    Event series = timedEvent("2024-05-06T08:00:00Z", "2024-05-06T09:00:00Z");
    series.recurrenceRules = {{Frequency::weekly,
                               2,
                               {Weekday::monday, Weekday::thursday, Weekday::monday},
                               at("2024-07-01T08:00:00Z")}};
    Event allDay;
    allDay.title = "Holiday";
    allDay.allDay = true;
    allDay.startDate = at("2024-05-01T00:00:00Z");
    allDay.endDate = at("2024-05-03T00:00:00Z");
    allDay.recurrenceRules = {{Frequency::yearly, 1, {}, at("2030-05-01T00:00:00Z")}};
    struct Case {
        const char* zone;
        Event event;
        Lines start, rule;
    };
    const Case cases[] = {
        {"UTC", timed, {"DTSTART:20240501T100000Z"}, {}},
        // A series repeats in the user's zone, at the same time of day across clock changes.
        {"Europe/Berlin",
         series,
         {"DTSTART;TZID=Europe/Berlin:20240506T100000"},
         {"RRULE:FREQ=WEEKLY;UNTIL=20240701T080000Z;INTERVAL=2;BYDAY=MO,TH"}},
        {"America/New_York",
         allDay,
         {"DTSTART;VALUE=DATE:20240501"},
         {"RRULE:FREQ=YEARLY;UNTIL=20300501"}},
    };
    for (const Case& c : cases) {
        auto store = open(zone(c.zone));
        Event event = c.event;
        event.calendarId = calendarId;
        ASSERT_EQ(store->saveEvent(event, Span::futureEvents, Changes::all()), std::nullopt)
            << c.zone;
        ASSERT_TRUE(event.identifier.starts_with(calendarId + "/")) << event.identifier;
        struct stat info {};
        ASSERT_EQ(::stat((root() / (event.identifier + ".ics")).c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u);

        const std::string file = item(event.identifier);
        const std::string text = file.substr(file.find("BEGIN:VEVENT"));
        for (std::size_t at = 0, end; (end = file.find("\r\n", at)) != std::string::npos;
             at = end + 2) {
            EXPECT_LE(end - at, 75u) << "folded at 75 octets";
        }
        EXPECT_EQ(linesNamed(text, "DTSTART"), c.start);
        EXPECT_EQ(linesNamed(text, "RRULE"), c.rule);
        EXPECT_EQ(linesNamed(text, "DTSTAMP"), Lines{"DTSTAMP:20240601T120000Z"});
        EXPECT_EQ(linesNamed(text, "UID"),
                  Lines{"UID:" + event.identifier.substr(calendarId.size() + 1)});

        const auto back = open(zone(c.zone))->calendarItemWithIdentifier(event.identifier);
        ASSERT_TRUE(back);
        EXPECT_EQ(back->title, c.event.title);
        EXPECT_EQ(back->location, c.event.location);
        EXPECT_EQ(back->url, c.event.url);
        EXPECT_EQ(back->allDay, c.event.allDay);
        if (!c.event.allDay) {
            EXPECT_EQ(back->startDate, date::floor<std::chrono::seconds>(*c.event.startDate));
            EXPECT_EQ(back->endDate, c.event.endDate);
        }
    }
    EXPECT_EQ(diagnostics_.str(), "");
}

TEST_F(StoreTest, AllDayEventsNeverShift) {
    for (const char* in : {"America/New_York", "Europe/Berlin", "Asia/Tokyo"}) {
        writeFile(folder() / "day.ics",
                  calendarText("UID:day\r\nSUMMARY:Trip\r\nDTSTART;VALUE=DATE:20240501\r\n"
                               "DTEND;VALUE=DATE:20240503\r\n"));
        const std::string id = calendarId + "/day";
        auto store = open(zone(in));
        // Sent back as the snapshot reported it, and as dates at UTC midnights.
        Event reported = *store->calendarItemWithIdentifier(id);
        reported.title = "Trip, renamed";
        ASSERT_EQ(store->saveEvent(reported, Span::futureEvents, Changes::all()), std::nullopt);
        Event utcDays = *store->calendarItemWithIdentifier(id);
        utcDays.title = "Trip, renamed again";
        utcDays.startDate = at("2024-05-01T00:00:00Z");
        utcDays.endDate = at("2024-05-03T00:00:00Z");
        ASSERT_EQ(store->saveEvent(utcDays, Span::futureEvents, Changes::all()), std::nullopt);
        const std::string text = item(id);
        EXPECT_EQ(linesNamed(text, "DTSTART"), Lines{"DTSTART;VALUE=DATE:20240501"}) << in;
        EXPECT_EQ(linesNamed(text, "DTEND"), Lines{"DTEND;VALUE=DATE:20240503"}) << in;
    }
}

TEST_F(StoreTest, NewEventsGoOnlyWhereTheyMay) {
    writeFile(root() / "local" / "locked" / "readonly", "");
    writeFile(root() / "feeds" / "type", "subscribed");
    fs::create_directories(root() / "feeds" / "holidays");
    const std::pair<std::string, const char*> refused[] = {
        {"", "no calendar"},
        {"local", "does not exist"},
        {"local/missing", "does not exist"},
        {"local/locked", "calendar is read-only"},
        {"feeds/holidays", "calendar is read-only"},
        {"../root", "does not exist"},
        {"local/../../x", "does not exist"},
        {"local/.hidden", "does not exist"},
        {"/tmp", "does not exist"},
        {std::string("local/cal\0endar", 15), "does not exist"},
    };
    auto store = open();
    for (const auto& [id, words] : refused) {
        Event event = timedEvent("2024-05-01T10:00:00Z", "2024-05-01T11:00:00Z");
        event.calendarId = id;
        EXPECT_TRUE(mentions(store->saveEvent(event, Span::futureEvents, Changes::all()), words))
            << id;
        EXPECT_EQ(event.identifier, "");
    }
    // Numbers the file cannot hold are refused, not wrapped into another rule.
    Event endless = timedEvent("2024-05-01T10:00:00Z", "2024-05-01T11:00:00Z");
    endless.calendarId = calendarId;
    endless.recurrenceRules = {{Frequency::daily, 1, {}, OccurrenceCount{0}}};
    EXPECT_TRUE(mentions(store->saveEvent(endless, Span::futureEvents, Changes::all()),
                         "repeat count of 0"));

    for (auto it = fs::recursive_directory_iterator(root());
         it != fs::recursive_directory_iterator(); ++it) {
        EXPECT_NE(it->path().extension(), ".ics") << it->path();
    }
}

TEST_F(StoreTest, ASeriesSaveKeepsWhatTheStoreDoesNotModel) {
    writeFile(folder() / "khal-series.ics", khalSeries);
    {
        // Saving what was read changes nothing at all.
        auto store = open(zone("America/New_York"));
        Event series = *store->calendarItemWithIdentifier(khalId);
        const Changes fields{.title = true, .location = true, .url = true, .times = true};
        ASSERT_EQ(store->saveEvent(series, Span::futureEvents, fields), std::nullopt);
        EXPECT_EQ(item(khalId), khalSeries);
    }
    auto store = open(zone("America/New_York"));
    Event series = *store->calendarItemWithIdentifier(khalId);
    series.title = "Weekly planning";
    series.startDate = *series.startDate + 30min;
    series.endDate = *series.endDate + 30min;
    ASSERT_EQ(store->saveEvent(series, Span::futureEvents, {.title = true, .times = true}),
              std::nullopt);
    const std::string text = item(khalId);
    for (const char* kept :
         {"DESCRIPTION", "ATTENDEE", "CATEGORIES", "X-PEER", "TRIGGER", "RRULE", "TZOFFSETTO"}) {
        EXPECT_EQ(linesNamed(text, kept), linesNamed(khalSeries, kept)) << kept;
    }
    // The series keeps its zone; the override of a 10:00 occurrence names none of the 10:30 ones.
    EXPECT_EQ(linesNamed(text, "DTSTART").back(), "DTSTART;TZID=Europe/Berlin:20240506T103000");
    EXPECT_TRUE(linesNamed(text, "RECURRENCE-ID").empty());
    EXPECT_EQ(linesNamed(text, "SUMMARY"), Lines{"SUMMARY:Weekly planning"});
    EXPECT_EQ(linesNamed(text, "SEQUENCE"), Lines{"SEQUENCE:1"});
    EXPECT_EQ(linesNamed(text, "LAST-MODIFIED"), Lines{"LAST-MODIFIED:20240601T120000Z"});
    EXPECT_EQ(open()->calendarItemWithIdentifier(khalId)->startDate, at("2024-05-06T08:30:00Z"));
}

TEST_F(StoreTest, OneOccurrenceEditedAndAnotherRemoved) {
    writeFile(folder() / "khal-series.ics", khalSeries);
    auto store = open(zone("Europe/Berlin"));
    Event second = occurrenceAt(*store, khalId, at("2024-05-13T08:00:00Z"));
    second.title = "Sync, moved";
    second.startDate = at("2024-05-13T12:00:00Z");
    second.endDate = at("2024-05-13T13:00:00Z");
    ASSERT_EQ(store->saveEvent(second, Span::thisEvent, Changes::all()), std::nullopt);
    // Edited again in the same run: the same override changes once more.
    Event again = occurrenceAt(*store, khalId, at("2024-05-13T08:00:00Z"));
    EXPECT_EQ(again.title, "Sync, moved");
    again.location = "Room 2";
    ASSERT_EQ(store->saveEvent(again, Span::thisEvent, Changes::all()), std::nullopt);

    ASSERT_EQ(store->removeEvent(occurrenceAt(*store, khalId, at("2024-05-20T08:00:00Z")),
                                 Span::thisEvent),
              std::nullopt);
    // Removing the occurrence khal had changed removes its override as well.
    const Event fourth = occurrenceAt(*store, khalId, at("2024-05-27T08:00:00Z"));
    EXPECT_EQ(fourth.title, "Moved sync");
    ASSERT_EQ(store->removeEvent(fourth, Span::thisEvent), std::nullopt);

    const std::string text = item(khalId);
    EXPECT_EQ(linesNamed(text, "EXDATE"), (Lines{"EXDATE;TZID=Europe/Berlin:20240520T100000",
                                                 "EXDATE;TZID=Europe/Berlin:20240527T100000"}));
    EXPECT_EQ(linesNamed(text, "RECURRENCE-ID"),
              Lines{"RECURRENCE-ID;TZID=Europe/Berlin:20240513T100000"});

    std::vector<std::string> seen;
    for (const Event& event :
         occurrencesOf(*open(zone("America/New_York")), khalId, at("2024-05-01T00:00:00Z"),
                       at("2024-06-05T00:00:00Z"))) {
        seen.push_back(iso(*event.startDate) + " " + event.title.value_or("") + "@" +
                       event.location.value_or(""));
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"2024-05-06T08:00:00Z Weekly sync@",
                                              "2024-05-13T12:00:00Z Sync, moved@Room 2",
                                              "2024-06-03T08:00:00Z Weekly sync@"}));
}

TEST_F(StoreTest, RemovingTheWholeItemOrItsFuture) {
    writeFile(folder() / "khal-series.ics", khalSeries);
    writeFile(folder() / "single.ics",
              calendarText("UID:single\r\nSUMMARY:Once\r\nDTSTART:20240510T100000Z\r\n"));
    auto store = open();
    const Event later = occurrenceAt(*store, khalId, at("2024-05-20T08:00:00Z"));
    Event changed = later;
    changed.title = "Not like this";
    EXPECT_TRUE(
        mentions(store->saveEvent(changed, Span::futureEvents, Changes::all()), "not supported"));

    ASSERT_EQ(store->removeEvent(later, Span::futureEvents), std::nullopt);
    EXPECT_EQ(linesNamed(item(khalId), "RRULE"), Lines{"RRULE:FREQ=WEEKLY;UNTIL=20240520T075959Z"});
    EXPECT_EQ(occurrencesOf(*store, khalId, at("2024-05-01T00:00:00Z"), at("2024-07-01T00:00:00Z"))
                  .size(),
              2u);

    // thisEvent on an event that does not repeat, and futureEvents from a series' first
    // occurrence, remove the whole item.
    const Event once = *store->calendarItemWithIdentifier(calendarId + "/single");
    ASSERT_EQ(store->removeEvent(once, Span::thisEvent), std::nullopt);
    ASSERT_EQ(store->removeEvent(occurrenceAt(*store, khalId, at("2024-05-06T08:00:00Z")),
                                 Span::futureEvents),
              std::nullopt);
    EXPECT_TRUE(items().empty());
    EXPECT_FALSE(store->calendarItemWithIdentifier(khalId));
}

TEST_F(StoreTest, WhatCannotBeWrittenBackIsLeftAlone) {
    writeFile(folder() / "khal-series.ics", khalSeries);
    // libical drops a CREATED it cannot read; writing the file back would lose it.
    const std::string odd = calendarText(
        "UID:odd\r\nSUMMARY:Odd\r\nCREATED:yesterday\r\n"
        "DTSTART:20240510T100000Z\r\nRRULE:FREQ=DAILY\r\n");
    writeFile(folder() / "odd.ics", odd);
    auto store = open();
    Event oddOne = *store->calendarItemWithIdentifier(calendarId + "/odd");
    oddOne.title = "Renamed";
    EXPECT_TRUE(
        mentions(store->saveEvent(oddOne, Span::futureEvents, Changes::all()), "cannot read"));
    EXPECT_EQ(item(calendarId + "/odd"), odd);

    // A peer saved after this run read the file: nothing of this run's changes lands.
    Event series = *store->calendarItemWithIdentifier(khalId);
    Event occurrence = occurrenceAt(*store, khalId, at("2024-05-13T08:00:00Z"));
    std::string edited = khalSeries;
    edited.replace(edited.find("Weekly sync"), 11, "Peer's title!");
    writeFile(folder() / ".peer", edited);
    fs::rename(folder() / ".peer", folder() / "khal-series.ics");
    series.title = "Mine";
    occurrence.title = "Mine too";
    for (const WriteError& error : {store->saveEvent(series, Span::futureEvents, Changes::all()),
                                    store->saveEvent(occurrence, Span::thisEvent, Changes::all()),
                                    store->removeEvent(occurrence, Span::thisEvent),
                                    store->removeEvent(series, Span::futureEvents)}) {
        EXPECT_TRUE(mentions(error, "changed by another program"));
    }
    EXPECT_EQ(item(khalId), edited);
}

TEST_F(StoreTest, IdentifiersFromTheHostNeverLeaveTheRoot) {
    const std::string real = calendarText("UID:real\r\nDTSTART:20240510T100000Z\r\n");
    writeFile(root() / "outside.ics", real);
    writeFile(folder() / "real.ics", real);
    fs::create_symlink(folder() / "real.ics", folder() / "link.ics");
    auto store = open();
    for (const std::string id :
         {"local/calendar/../../outside", "../outside", "local/calendar/link",
          "local/calendar/.hidden", "/local/calendar/real", "local/calendar/real/x", "",
          "local//real"}) {
        Event event = timedEvent("2024-05-10T10:00:00Z", "2024-05-10T11:00:00Z");
        event.identifier = id;
        EXPECT_TRUE(store->saveEvent(event, Span::futureEvents, Changes::all())) << id;
        EXPECT_TRUE(store->removeEvent(event, Span::futureEvents)) << id;
    }
    EXPECT_EQ(readFile(root() / "outside.ics"), real);
    EXPECT_TRUE(fs::is_symlink(folder() / "link.ics"));
    EXPECT_EQ(readFile(folder() / "real.ics"), real);
}

/// Runs a shell command; its standard output, or none when it failed.
std::optional<std::string> shell(const std::string& command) {
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return std::nullopt;
    }
    std::string out;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        out.append(buffer, n);
    }
    return ::pclose(pipe) == 0 ? std::optional{out} : std::nullopt;
}

TEST_F(StoreTest, PeersReadWhatTheStoreWrites) {
    writeFile(folder() / "khal-series.ics", khalSeries);
    auto store = open(zone("Europe/Berlin"));
    Event moved = occurrenceAt(*store, khalId, at("2024-05-13T08:00:00Z"));
    moved.title = "Moved; with, specials";
    moved.startDate = at("2024-05-14T08:00:00Z");
    moved.endDate = at("2024-05-14T09:00:00Z");
    ASSERT_EQ(store->saveEvent(moved, Span::thisEvent, Changes::all()), std::nullopt);
    ASSERT_EQ(store->removeEvent(occurrenceAt(*store, khalId, at("2024-05-20T08:00:00Z")),
                                 Span::thisEvent),
              std::nullopt);
    Event allDay;
    allDay.calendarId = calendarId;
    allDay.title = "Holiday";
    allDay.allDay = true;
    allDay.startDate = at("2024-05-08T00:00:00Z");
    allDay.endDate = at("2024-05-09T00:00:00Z");
    ASSERT_EQ(store->saveEvent(allDay, Span::futureEvents, Changes::all()), std::nullopt);
    Event timed = timedEvent("2024-05-09T15:30:00Z", "2024-05-09T16:00:00Z");
    timed.calendarId = calendarId;
    timed.title = std::string(100, 'x') + " Grüße";
    ASSERT_EQ(store->saveEvent(timed, Span::futureEvents, Changes::all()), std::nullopt);
    Event gym = timedEvent("2024-05-07T16:00:00Z", "2024-05-07T17:00:00Z");
    gym.calendarId = calendarId;
    gym.title = "Gym";
    gym.recurrenceRules = {{Frequency::weekly, 1, {Weekday::tuesday}, OccurrenceCount{2}}};
    ASSERT_EQ(store->saveEvent(gym, Span::futureEvents, Changes::all()), std::nullopt);

    // Debian's python3-icalendar, whichever python3 comes first on PATH.
    std::optional<std::string> python;
    for (const char* candidate : {"/usr/bin/python3", "python3"}) {
        if (!python && shell(std::string(candidate) + " -c 'import icalendar' 2>/dev/null")) {
            python = candidate;
        }
    }
    ASSERT_TRUE(python) << "python3 with icalendar is missing (scripts/setup.sh installs it)";
    const fs::path program = root().parent_path() / "read.py";
    writeFile(
        program,
        "import glob, icalendar, sys\n"
        "for path in sorted(glob.glob(sys.argv[1] + '/*.ics')):\n"
        "    for ev in icalendar.Calendar.from_ical(open(path, 'rb').read()).walk('VEVENT'):\n"
        "        ex = ev.get('EXDATE', [])\n"
        "        ex = ex if isinstance(ex, list) else [ex]\n"
        "        print(ev['SUMMARY'], ev.decoded('DTSTART'), 'RECURRENCE-ID' in ev,\n"
        "              [str(d.dt) for x in ex for d in x.dts], sep='|')\n");
    const auto out = shell(*python + " '" + program.string() + "' '" + folder().string() + "'");
    ASSERT_TRUE(out) << "python's icalendar could not read the files";
    for (const char* line :
         {"Moved; with, specials|2024-05-14 10:00:00+02:00|True|[]\n",
          "Weekly sync|2024-05-06 10:00:00+02:00|False|['2024-05-20 "
          "10:00:00+02:00']\n",
          "Holiday|2024-05-08|False|[]\n", "Gym|2024-05-07 18:00:00+02:00|False|[]\n"}) {
        EXPECT_NE(out->find(line), std::string::npos) << *out;
    }

    if (!shell("command -v khal >/dev/null")) {
        GTEST_SKIP() << "khal is not installed; its half of this test did not run";
    }
    const fs::path config = root().parent_path() / "khal.conf";
    writeFile(config, "[calendars]\n[[cal]]\npath = " + folder().string() +
                          "\ntype = calendar\n[locale]\ntimeformat = %H:%M\n"
                          "dateformat = %Y-%m-%d\nlongdateformat = %Y-%m-%d\n"
                          "datetimeformat = %Y-%m-%d %H:%M\nlongdatetimeformat = %Y-%m-%d %H:%M\n"
                          "local_timezone = Europe/Berlin\ndefault_timezone = Europe/Berlin\n"
                          "[sqlite]\npath = " +
                          (root().parent_path() / "khal.db").string() + "\n");
    const auto listed = shell("khal -c '" + config.string() +
                              "' list --format '{title}|{start}' --day-format '' 2024-05-01 40d");
    ASSERT_TRUE(listed) << "khal could not read the files";
    EXPECT_EQ(*listed,
              "Weekly sync|2024-05-06 10:00\n"
              "Gym|2024-05-07 18:00\n"
              "Holiday|2024-05-08\n" +
                  *timed.title +
                  "|2024-05-09 17:30\n"
                  "Moved; with, specials|2024-05-14 10:00\n"
                  "Gym|2024-05-14 18:00\n"
                  "Moved sync|2024-05-27 14:00\n"
                  "Weekly sync|2024-06-03 10:00\n");
}

TEST_F(StoreTest, AKilledRunLeavesOnlyWholeFiles) {
    writeFile(folder() / "khal-series.ics", khalSeries);
    for (const auto delay : {0ms, 30ms, 120ms}) {
        int started[2];
        ASSERT_EQ(::pipe(started), 0);
        const pid_t child = ::fork();
        if (child == 0) {
            std::ostringstream quiet;
            VdirStore store{root(), quiet, zone("UTC")};
            for (int i = 0;; ++i) {
                Event series = *store.calendarItemWithIdentifier(khalId);
                series.title = "Edit " + std::to_string(i) + std::string(std::size_t(i % 500), '.');
                Event fresh = timedEvent("2024-05-01T10:00:00Z", "2024-05-01T11:00:00Z");
                fresh.calendarId = calendarId;
                if (store.saveEvent(series, Span::futureEvents, Changes::all()) ||
                    (i % 10 == 0 && store.saveEvent(fresh, Span::futureEvents, Changes::all()))) {
                    ::_exit(1);
                }
                if (i == 0) {
                    (void)!::write(started[1], "!", 1);
                }
            }
        }
        ::close(started[1]);
        char signal;
        ASSERT_EQ(::read(started[0], &signal, 1), 1) << "the writer failed to start";
        ::close(started[0]);
        std::this_thread::sleep_for(delay);
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped by itself";

        std::ostringstream skipped;
        VdirStore reader{root(), skipped, zone("UTC")};
        for (const std::string& name : items()) {
            const auto event = reader.calendarItemWithIdentifier(calendarId + "/" +
                                                                 name.substr(0, name.size() - 4));
            ASSERT_TRUE(event && event->title) << name;
            EXPECT_TRUE(event->title->starts_with("Edit ") || event->title == "Meeting") << name;
        }
        EXPECT_EQ(skipped.str(), "");
        EXPECT_GT(items().size(), 1u);
    }
}

}  // namespace
}  // namespace ravu

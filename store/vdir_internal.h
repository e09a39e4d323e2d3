// Internals of the directory store that its reading and writing halves share: names and paths
// of calendars and items, loading one item file, and what a run has read.
//
// Only the directory store's own files include this header, which brings libical with it.
#pragma once

#include <libical/ical.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include <date/date.h>

#include "convert/time.h"
#include "store/safe_file.h"
#include "store/store.h"

namespace ravu::vdir {

using date::local_days;
using date::local_seconds;

// --- Names ---------------------------------------------------------------------------------

/// A folder or item name as the store uses it: not empty, not hidden (no leading "."), no "/"
/// and no NUL, and valid UTF-8 so that it survives the JSON documents.
bool isPlainName(std::string_view name);

/// A calendar folder, `<root>/<source>/<calendar>`; its identifier is "<source>/<calendar>".
struct CalendarName {
    std::string source;
    std::string calendar;

    std::string identifier() const { return source + '/' + calendar; }
    std::filesystem::path path(const std::filesystem::path& root) const {
        return root / source / calendar;
    }
    friend auto operator<=>(const CalendarName&, const CalendarName&) = default;
};

/// An item file, `<calendar folder>/<name>.ics`; its identifier is "<source>/<calendar>/<name>".
struct ItemName {
    CalendarName calendar;
    std::string name;

    std::string identifier() const { return calendar.identifier() + '/' + name; }
    std::string fileName() const { return name + ".ics"; }
    /// The path relative to the root, as diagnostics name the file.
    std::string relativePath() const { return identifier() + ".ics"; }
    std::filesystem::path path(const std::filesystem::path& root) const {
        return calendar.path(root) / fileName();
    }
};

/// "<source>/<calendar>" with two plain names, or none.
std::optional<CalendarName> parseCalendarId(std::string_view identifier);

/// "<source>/<calendar>/<name>" with three plain names, or none. Identifiers come from the host:
/// nothing else can name a path, so nothing outside the root is ever reached through one.
std::optional<ItemName> parseItemId(std::string_view identifier);

/// Every calendar folder in the store's order: by source folder name, then calendar folder name,
/// bytes compared. Symbolic links to folders count as folders; hidden names are passed over.
std::vector<CalendarName> calendarFolders(const std::filesystem::path& root);

// --- Text ----------------------------------------------------------------------------------

/// The text as valid UTF-8: every byte that is not part of a well-formed sequence, and every NUL,
/// becomes U+FFFD. Returns the text unchanged (no copy) when it is valid already.
std::string repairUtf8(std::string text);

// --- Times ---------------------------------------------------------------------------------

/// Where a DATE-TIME value is pinned to the time line.
struct Zone {
    enum class Kind {
        floating,  ///< no zone: taken in the user's zone
        utc,
        system,  ///< a zone of the system's zone database, by the name the file gives
        file,    ///< a VTIMEZONE of the file whose TZID the zone database does not know
    };
    Kind kind = Kind::floating;
    const TimeZone* system = nullptr;
    icaltimezone* file = nullptr;  ///< owned by the item (`LoadedItem::fileZones`)
    std::string name;              ///< system: the zone's name as the TZID gives it; utc: "UTC"

    Instant toInstant(local_seconds wall, const TimeZone& user) const;
    local_seconds toWall(Instant instant, const TimeZone& user) const;
};

/// The wall-clock value of a DATE or DATE-TIME (a date gives its midnight); none when it names
/// no real day or time.
std::optional<local_seconds> wallOf(const icaltimetype& value);

/// The first instant of a day in the zone.
Instant dayStart(local_days day, const TimeZone& zone);

/// A floating libical value for the wall-clock time, or for its date.
icaltimetype icalTime(local_seconds wall, bool isDate);

// --- Items ---------------------------------------------------------------------------------

struct IcalFree {
    void operator()(icalcomponent* component) const { icalcomponent_free(component); }
};
using IcalPtr = std::unique_ptr<icalcomponent, IcalFree>;

struct ZoneFree {
    void operator()(icaltimezone* zone) const { icaltimezone_free(zone, 1); }
};

/// Items larger than this are not read: no calendar client writes one, and parsing it would
/// hold the whole run up.
inline constexpr std::size_t maxItemBytes = 4 * 1024 * 1024;

/// One VEVENT of an item with its times resolved.
struct ReadEvent {
    /// As the store reports it: a master with its own start and end; an override as the
    /// occurrence it stands for, with `occurrenceDate`.
    Event event;
    Zone zone;                      ///< of DTSTART
    local_seconds wall{};           ///< DTSTART as written; midnight of the first day when all-day
    std::chrono::seconds exact{0};  ///< length: the part counted in elapsed time
    date::days nominal{0};          ///< length: whole days on the calendar (all-day: >= 1)
    /// Overrides only: the occurrence the RECURRENCE-ID names (see `LoadedItem::keyOf`).
    std::optional<Instant> key;
    bool cancelled = false;  ///< STATUS:CANCELLED
};

/// A start of a series given explicitly by RDATE; a PERIOD value brings its own end.
struct ExtraStart {
    local_seconds wall;  ///< in the series' zone
    Instant start;
    std::optional<Instant> end;
};

/// One RRULE, ready for libical's iterator.
struct Rule {
    icalrecurrencetype rule;  ///< UNTIL taken out (see `until`), repeated BY values dropped
    /// The last wall-clock start the rule allows, in the series' zone. libical compares UNTIL
    /// with a floating DTSTART as if both were UTC, so the store applies it itself.
    std::optional<local_seconds> until;
    /// RSCALE's calendar name, which `rule` points to.
    std::shared_ptr<const std::string> rscale;
};

/// One item file, as this run read it.
struct LoadedItem {
    ItemName name;
    FileStamp stamp;  ///< of the file this run read, taken from the open file
    /// The VCALENDAR as parsed; null in the items of the run's cache (see `Tree`).
    IcalPtr root;
    /// X-LIC-ERROR properties libical put in place of values it could not read. They are
    /// libical's notes, not the file's content, and are never written back.
    int parseErrors = 0;

    /// The series or single event; none for a file that holds only changed occurrences.
    std::optional<ReadEvent> master;
    /// RECURRENCE-ID components of the same UID, in file order.
    std::vector<ReadEvent> overrides;
    std::vector<Rule> rules;
    std::vector<ExtraStart> extraStarts;
    std::vector<Instant> excluded;         ///< EXDATE keys, sorted
    std::vector<local_days> excludedDays;  ///< EXDATE dates on a timed series: the whole day
    /// Copies of the VTIMEZONEs whose TZIDs the zone database does not know, by TZID.
    std::vector<std::pair<std::string, std::unique_ptr<icaltimezone, ZoneFree>>> fileZones;

    bool allDay() const { return master ? master->event.allDay : false; }
    bool repeats() const { return !rules.empty() || !extraStarts.empty(); }
    /// The key of an occurrence: its UTC-midnight date in a series of all-day events (zone
    /// free, so dates match whatever the user's zone), else its start instant.
    Instant keyOf(local_seconds wall, Instant start) const;

    /// The occurrences of a series over [memoStart, memoEnd), kept for the short windows of
    /// look-ups: a queue of a thousand entries asks about the same series a thousand times, and
    /// running the recurrence iterator each time would cost more than everything else.
    mutable std::optional<std::pair<Instant, Instant>> memoRange;
    mutable std::vector<Event> memo;
};

/// The end of an occurrence of `shape` (a master or an override) that starts at `wall` in its
/// zone, which is `start`: all-day events end one second before the midnight that follows their
/// last day; whole days of a DURATION are counted on the calendar, the rest in elapsed time.
Instant endOf(const ReadEvent& shape, local_seconds wall, Instant start, const TimeZone& user);

enum class LoadFailure {
    missing,     ///< no file of that name
    unreadable,  ///< not a regular file, too large, or content the store cannot use
};

/// What `loadItem` keeps of the parsed file.
enum class Tree {
    /// The whole VCALENDAR, in `LoadedItem::root`: for a writer, which changes and writes it.
    keep,
    /// Nothing: for queries. Parsed trees take ten times the size of the file, and VTIMEZONEs
    /// of zones the zone database knows are not even parsed. A writer reads the file again
    /// with `Tree::keep` and compares the stamps to know it is the version this run read.
    drop,
};

/// Reads and prepares the item `name` from the file at `path`, opened relative to `folder` (a
/// directory descriptor, or AT_FDCWD). A symbolic link is not followed: items are regular files.
std::variant<LoadedItem, LoadFailure> loadItem(int folder, const std::string& path, ItemName name,
                                               const TimeZone& user, Tree tree = Tree::keep);

/// Adds to `found` the events and occurrences of the item that overlap [start, end), in no
/// particular order. False, adding nothing, when a rule cannot be expanded within reasonable
/// work.
bool occurrences(const LoadedItem& item, Instant start, Instant end, const TimeZone& user,
                 std::vector<Event>& found);

/// Whether an event from `start` to `end` overlaps [windowStart, windowEnd): it starts before
/// the window ends and ends after it starts; an event of no length counts when its start lies in
/// the window.
bool overlaps(Instant start, Instant end, Instant windowStart, Instant windowEnd);

/// The line told for an item that is skipped.
std::string skipLine(const ItemName& name);

// --- The run -------------------------------------------------------------------------------

/// What one run has read. Each item file is parsed at most once per run; later queries and the
/// writer see the version the run read first.
struct ReadCache {
    /// By identifier; a null entry is an item that could not be read and was reported.
    std::unordered_map<std::string, std::unique_ptr<LoadedItem>> items;
    /// By calendar identifier, the readable items of the folder as a query first listed them,
    /// so that later queries neither list the folder nor look each item up again. A listing
    /// points into `items`: whatever replaces or drops an entry there forgets its folder's
    /// listing (`forget`).
    std::unordered_map<std::string, std::vector<const LoadedItem*>> listings;
    /// The calendars as the run first listed them.
    std::optional<std::vector<Calendar>> calendars;

    void forget(const CalendarName& folder) { listings.erase(folder.identifier()); }
};

// --- Writing -------------------------------------------------------------------------------

/// What a run's writes keep beyond its reads.
struct WriteState {
    explicit WriteState(const std::filesystem::path& root) : lock(root) {}
    WriteLock lock;  ///< taken at the first write, held to the end of the run
    /// Why `beginChanges` could not take the lock; every later write fails with it at once
    /// rather than wait for the lock again.
    WriteError lockFailure;
    std::function<Instant()> clock;
};

}  // namespace ravu::vdir

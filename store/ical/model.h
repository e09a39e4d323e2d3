// Inside the format layer: an item as libical parsed it, with its times resolved into one model
// that reading, expanding and editing share. Only store/ical/ includes this header; it is the
// one place that brings libical in.
#pragma once

#include <libical/ical.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <date/date.h>

#include "convert/instant.h"
#include "store/ical/item.h"
#include "store/store.h"

namespace ravu::ical {

using date::local_days;
using date::local_seconds;

// --- libical, owned --------------------------------------------------------------------------

struct ComponentFree {
    void operator()(icalcomponent* component) const { icalcomponent_free(component); }
};
using Component = std::unique_ptr<icalcomponent, ComponentFree>;

struct PropertyFree {
    void operator()(icalproperty* property) const { icalproperty_free(property); }
};
using Property = std::unique_ptr<icalproperty, PropertyFree>;

struct ZoneFree {
    void operator()(icaltimezone* zone) const { icaltimezone_free(zone, 1); }
};
using OwnedZone = std::unique_ptr<icaltimezone, ZoneFree>;

struct IteratorFree {
    void operator()(icalrecur_iterator* iterator) const { icalrecur_iterator_free(iterator); }
};
using Iterator = std::unique_ptr<icalrecur_iterator, IteratorFree>;

/// Makes libical's errors values rather than aborts; called before any libical work.
void quietLibical();

/// Every property of a kind; collected first, since removing one while walking would break the
/// component's own iteration.
std::vector<icalproperty*> propertiesOf(icalcomponent* component, icalproperty_kind kind);
std::vector<icalcomponent*> eventsOf(icalcomponent* calendar);
/// Removes every property of the kind; whether there was one.
bool removeAll(icalcomponent* component, icalproperty_kind kind);
std::string valueText(const icalproperty* property);
/// The TZID parameter as written; empty when there is none.
std::string tzidOf(const icalproperty* property);
std::string uidOf(icalcomponent* event);
/// The VEVENT of the series or single event; none in an item of changed occurrences only.
icalcomponent* masterOf(icalcomponent* calendar);
/// The VEVENTs of the series `uid` that change one occurrence each (RECURRENCE-ID), one per
/// occurrence.
std::vector<icalcomponent*> overridesOf(icalcomponent* calendar, std::string_view uid);
void dropComponent(icalcomponent* calendar, icalcomponent* event);

/// The time value of a property (DATE, DATE-TIME, or the start of a PERIOD), read from its value
/// alone: libical's own getters look a TZID up as a path below the zone database, and the
/// program resolves zones itself (see `Form`).
std::optional<icaltimetype> timeOf(const icalproperty* property);

/// The wall-clock value of a DATE or DATE-TIME (a date gives its midnight); none when it names
/// no real day or time.
std::optional<local_seconds> wallOf(const icaltimetype& value);

/// The instant a wall-clock value names when it is read as UTC.
inline Instant asUtc(local_seconds wall) {
    return Instant{wall.time_since_epoch()};
}

/// A floating libical value for the wall-clock time, or for its date.
icaltimetype icalTime(local_seconds wall, bool isDate);

// --- Times -----------------------------------------------------------------------------------

/// How a DATE or DATE-TIME pins a wall-clock value to the time line. Reading and writing share
/// it: a series' EXDATEs and RECURRENCE-IDs are written in the form of its DTSTART, and read back
/// the same way.
struct Form {
    enum class Kind {
        date,      ///< a day: all-day events, taken in the user's zone
        floating,  ///< no zone: the user's wall clock
        utc,
        zoned,  ///< a TZID: see `system` and `file`
    };

    explicit Form(Kind kind = Kind::utc, std::string tzid = {}, const TimeZone* system = nullptr,
                  icaltimezone* file = nullptr)
        : kind(kind), tzid(std::move(tzid)), system(system), file(file) {}

    Kind kind;
    std::string tzid;        ///< zoned: the TZID as written
    const TimeZone* system;  ///< zoned: the zone database's zone of that name
    /// zoned, unknown to the zone database: the item's copy of the file's VTIMEZONE. With neither
    /// this nor `system` the zone is one nobody knows, read as the user's wall clock.
    icaltimezone* file;

    Instant toInstant(local_seconds wall, const TimeZone& user) const;
    local_seconds toWall(Instant instant, const TimeZone& user) const;
    /// The value that writes the instant in this form.
    icaltimetype valueFor(Instant instant, const TimeZone& user) const;
    bool sameZone(const Form& other) const {
        return kind == other.kind && system == other.system && file == other.file;
    }
};

/// The zone database's zone for a TZID, also when a peer wrote it with a vendor prefix such as
/// "/freeassociation.sourceforge.net/Europe/Berlin"; the name the zone goes by goes to `name`.
const TimeZone* systemZone(std::string_view tzid, std::string* name = nullptr);

/// The first instant of a day in the zone.
Instant dayStart(local_days day, const TimeZone& zone);

// --- The model -------------------------------------------------------------------------------

/// One VEVENT of an item with its times resolved.
struct ReadEvent {
    /// As the store reports it: a master with its own start and end; an override as the
    /// occurrence it stands for, with `occurrenceDate`.
    Event event;
    Form form;                      ///< of DTSTART (`Form::Kind::date` for all-day events)
    local_seconds wall{};           ///< DTSTART as written; midnight of the first day when all-day
    std::chrono::seconds exact{0};  ///< length: the part counted in elapsed time
    date::days nominal{0};          ///< length: whole days on the calendar (all-day: >= 1)
    /// Overrides only: the occurrence the RECURRENCE-ID names (see `Model::keyOf`).
    std::optional<Instant> key;
    bool cancelled = false;  ///< STATUS:CANCELLED
};

/// A start of a series given explicitly by RDATE; a PERIOD value brings its own end.
struct ExtraStart {
    local_seconds wall;  ///< in the series' zone
    Instant start;
    std::optional<Instant> end;
};

// --- The Gregorian path (gregorian.cpp) -------------------------------------------------------

/// libical's iterator gives no start in this year or later (its MAX_TIME_T_YEAR is 2582); the
/// paths that stand in for it stop there too.
inline constexpr int beyondYear = 2583;

/// A rule of one of the common shapes, stepped on wall-clock days instead of by libical: a run
/// of periods (days, weeks, months or years, `interval` apart), each with its days.
struct Gregorian {
    enum class Unit { day, week, month, year };
    Unit unit = Unit::day;
    int interval = 1;
    local_seconds start{};         ///< DTSTART: no start comes before it
    local_days first{};            ///< the first day of the first period
    std::chrono::seconds time{0};  ///< the time of day of every start
    /// Weeks: the days after a period's first day. Months: BYMONTHDAY values, or BYDAY codes
    /// with `weekdays`.
    std::vector<int> days;
    bool weekdays = false;
};

/// The rule, starting at `start`, as a Gregorian one; none for a rule libical must step.
std::optional<Gregorian> gregorianOf(const icalrecurrencetype& rule, local_seconds start);

/// The starts of a Gregorian rule in order, those libical's iterator gives from the first at or
/// after `from` on.
class GregorianWalk {
  public:
    GregorianWalk(const Gregorian& rule, local_seconds from);
    std::optional<local_seconds> next();

  private:
    /// Lists the days of the next period; false when it lies past libical's last year.
    bool fill();

    const Gregorian* rule_;
    local_seconds from_;
    long period_;  ///< the next period to fill
    std::array<local_days, 31> days_{};
    std::size_t size_ = 0;
    std::size_t at_ = 0;
    bool ended_ = false;  ///< past libical's last year
};

// --- The clock path (clock.cpp) ---------------------------------------------------------------

/// A rule finer than a day (SECONDLY, MINUTELY, HOURLY), stepped on the wall clock. Its periods
/// (one unit of the frequency each, `step` apart from DTSTART's) are tested as a whole against
/// the BY parts that limit them; one that fails is left by jumping to the next month, day, hour
/// or minute that may pass, never stepped through a second at a time as libical's iterator does.
struct Clock {
    local_seconds start;           ///< DTSTART: no start comes before it
    local_seconds base;            ///< DTSTART cut to the unit: the first period's start
    std::chrono::seconds unit{1};  ///< a second, a minute or an hour
    std::chrono::seconds step{1};  ///< INTERVAL units
    /// Where a period's starts lie in it: the BY parts finer than the unit (or DTSTART's own
    /// values of them), with BYSETPOS applied. Every period that passes has the same.
    std::vector<std::chrono::seconds> offsets;
    std::uint16_t months = 0;   ///< bit m: month m allowed (none: all)
    std::uint8_t weekdays = 0;  ///< bit w: weekday w (0 Sunday) allowed (none: all)
    std::vector<int> monthDays;
    std::vector<int> yearDays;
    std::uint32_t hours = 0;    ///< bit h (none: all)
    std::uint64_t minutes = 0;  ///< bit m, for units below an hour (none: all)
    std::uint64_t seconds = 0;  ///< bit s, for units of a second (none: all)
};

/// The sub-daily rule, starting at `start`, on the clock path; none for another frequency, and
/// for a rule none of whose starts can ever exist (a February 30, an hour its steps never reach,
/// a BYSETPOS past every period's starts), which then gives its first occurrence only.
std::optional<Clock> clockOf(const icalrecurrencetype& rule, local_seconds start);

/// The starts of a clock rule in order, from the first at or after `from` on.
class ClockWalk {
  public:
    ClockWalk(const Clock& rule, local_seconds from);
    /// The next start; none past the last year libical writes, or once `budget` (the jumps and
    /// starts the walk may still take, shared with the rest of the expansion) runs out.
    std::optional<local_seconds> next(long& budget);

  private:
    /// The first period at or after `period` that passes the rule's limits, by jumps.
    std::optional<long long> passing(long long period, long& budget) const;

    const Clock* rule_;
    local_seconds from_;
    long long period_;
    std::size_t at_;  ///< in the offsets of `period_`; past them: the period is done
};

/// One RRULE, ready for libical's iterator, the Gregorian path or the clock path.
struct Rule {
    /// UNTIL taken out (see `until`), repeated BY values dropped; COUNT too when `anchor` is not
    /// DTSTART (see `count`).
    icalrecurrencetype rule;
    /// The last wall-clock start the rule allows, in the series' zone. libical compares UNTIL
    /// with a floating DTSTART as if both were UTC, so the expander applies it itself.
    std::optional<local_seconds> until;
    /// COUNT, or 0. The expander counts, since libical may be started before DTSTART.
    int count = 0;
    /// The start libical's iterator is given. A WEEKLY rule with an INTERVAL is started on the
    /// first listed weekday of DTSTART's week: libical counts its weeks from the week it moves
    /// DTSTART into, and from there that is DTSTART's own week, as RFC 5545 counts them. Starts
    /// before DTSTART are then passed over.
    local_seconds anchor{};
    /// RSCALE's calendar name, which `rule` points to.
    std::shared_ptr<const std::string> rscale;
    /// Set when the Gregorian path steps the rule.
    std::optional<Gregorian> gregorian;
    /// Set for rules finer than a day, which the clock path steps.
    std::optional<Clock> clock;
    /// Whether libical's iterator may be given the rule at all (see `expandable`); a sub-daily
    /// rule with BY parts never is, outside tests that compare the paths.
    bool libicalTakes = false;
    /// The iterator made when the item was read to learn whether libical takes the rule, not
    /// stepped yet: the first expansion from `anchor` steps it rather than making another.
    mutable Iterator probe;
};

/// An item: one calendar object (a file of the directory store), a series or single event with
/// the overrides of its UID.
struct Model {
    Placement placement;
    /// When a store that keeps each part as an item of its own wrote each (`Item::parse`).
    std::map<std::string, Instant> partsStoredAt;
    const TimeZone* user = nullptr;  ///< floating times and all-day dates are taken here
    Component root;                  ///< the parsed VCALENDAR; null once dropped
    /// X-LIC-ERROR properties libical put in place of values it could not read. They are
    /// libical's notes, not the file's content; an item that has them is never written back.
    int parseErrors = 0;

    /// The series or single event; none for an item that holds only changed occurrences.
    std::optional<ReadEvent> master;
    /// RECURRENCE-ID components of the same UID, in file order.
    std::vector<ReadEvent> overrides;
    std::vector<Rule> rules;
    std::vector<ExtraStart> extraStarts;
    std::vector<Instant> excluded;         ///< EXDATE keys, sorted
    std::vector<local_days> excludedDays;  ///< EXDATE dates on a timed series: the whole day
    /// What a reader should be told about the item: parts of it that could not be read.
    std::vector<std::string> notes;
    /// Copies of the VTIMEZONEs whose TZIDs the zone database does not know, by TZID.
    std::vector<std::pair<std::string, OwnedZone>> fileZones;

    /// The occurrences of a series over [memoStart, memoEnd), kept for the short windows of
    /// look-ups: a queue of a thousand entries asks about the same series a thousand times, and
    /// running the recurrence iterator each time would cost more than everything else.
    std::optional<std::pair<Instant, Instant>> memoRange;
    std::vector<Event> memo;

    bool allDay() const { return master ? master->event.allDay : false; }
    bool repeats() const { return !rules.empty() || !extraStarts.empty(); }
    /// The key of an occurrence: its UTC-midnight date in a series of all-day events (zone
    /// free, so dates match whatever the user's zone), else its start instant.
    Instant keyOf(local_seconds wall, Instant start) const;
    /// The key of the occurrence of this series that starts at `start`.
    Instant keyOf(Instant start) const;
};

/// The VCALENDAR of item text, with bytes that are not UTF-8 repaired; none when it is not one.
/// Without `keepZones` the VTIMEZONEs of zones the zone database knows are left out: a query
/// takes those zones from the database, and a writer keeps them.
std::optional<Component> parseText(std::string text, bool keepZones);

/// The text without the VTIMEZONE blocks whose TZID the zone database knows. Times in those
/// zones are taken from the database, and parsing the blocks would cost as much as parsing the
/// event itself. Blocks written any other way (in lower case, say) are simply kept.
std::string withoutKnownZones(std::string text);

/// The values of one of a rule's BY lists, up to libical's end marker.
template <std::size_t size>
std::vector<int> valuesOf(const short (&values)[size]) {
    std::vector<int> found;
    for (std::size_t i = 0; i < size && values[i] != ICAL_RECURRENCE_ARRAY_MAX; ++i) {
        found.push_back(values[i]);
    }
    return found;
}

/// Whether libical's iterator can be given the rule, which starts at `start`: only rules whose
/// BY parts its frequency steps through quickly, with values that can match.
bool expandable(const icalrecurrencetype& rule, local_seconds start);

/// The X-LIC-ERROR notes libical left anywhere in the tree.
int errorCount(icalcomponent* root);

/// Whether libical dropped a property of this name from the component for having no value.
bool droppedEmpty(icalcomponent* component, std::string_view name);

/// Whether libical dropped a value the event's times depend on: without it the event would be
/// read as something other than what its file says.
bool lostTiming(icalcomponent* component);

/// Whether libical dropped a part of the event's repetition.
bool lostRepetition(icalcomponent* component);

/// The longest event the store reads: longer ones are a broken file, not a plan.
inline constexpr date::days maxLength{366 * 100};

/// Resolves the VEVENTs of `model.root` into the model; false when the item cannot be used.
bool describe(Model& model);

/// The master's repetition into the model: rules, extra starts and exclusions. False when it
/// cannot be read.
bool readRecurrence(Model& model, icalcomponent* vevent);

/// The wall time in the series' zone and the instant of an RDATE, EXDATE or RECURRENCE-ID value.
/// A DATE in a timed series stands for the series' time of day on that date.
std::optional<std::pair<local_seconds, Instant>> placeIn(const ReadEvent& master,
                                                         icalproperty* property,
                                                         const icaltimetype& value, Model& model);

/// The form of a DATE or DATE-TIME property of the item; values without a zone of their own take
/// `fallback` (the series' form for everything but the master's DTSTART).
Form formOf(icalproperty* property, const icaltimetype& value, Model& model, const Form& fallback);

/// The key of the occurrence an RDATE, EXDATE or RECURRENCE-ID value names, placed in the
/// series the way the reader places it; none without a master or for a value it cannot read.
std::optional<Instant> placedKey(Model& model, icalproperty* property, const icaltimetype& value);

/// The end of an occurrence of `shape` (a master or an override) that starts at `wall` in its
/// zone, which is `start`: all-day events end one second before the midnight that follows their
/// last day; whole days of a DURATION are counted on the calendar, the rest in elapsed time.
Instant endOf(const ReadEvent& shape, local_seconds wall, Instant start, const TimeZone& user);

/// Whether an event from `start` to `end` overlaps [windowStart, windowEnd): it starts before
/// the window ends and ends after it starts; an event of no length counts when its start lies in
/// the window.
bool overlaps(Instant start, Instant end, Instant windowStart, Instant windowEnd);

// --- The one expander (expand.cpp) -------------------------------------------------------------

/// Adds to `found` the first `limit` events and occurrences of the item that overlap
/// [start, end), in no particular order. False when there may be more than it added: past the
/// limit, or past the work one expansion may take.
bool occurrences(const Model& model, Instant start, Instant end, std::size_t limit,
                 std::vector<Event>& found, Engine engine = Engine::gregorianWhereTaken);

enum class Answer { yes, no, unknown };

/// Whether the series has an occurrence with this key (DTSTART, an RDATE or an instance of a
/// rule), before EXDATEs and overrides. Unknown when a rule cannot be expanded that far.
Answer namesOccurrence(const Model& model, Instant key);

}  // namespace ravu::ical

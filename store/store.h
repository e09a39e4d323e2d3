// The calendar store: the one door through which the rest of the program reaches calendar data.
//
// Everything above this header works on the plain values declared here and on the narrow
// `Store` interface. Each store is a sibling folder that holds only what talks to its own
// backend: the directory store (store/vdir/) and the GNOME store (store/evolution/); the tests
// add an in-memory one. What they share lies beside this header, written once (policy.h,
// lock.h, clock.h, deadline.h, module.h), and each is handed the format layer (store/ical/).
// Another store can be added beside them without touching the commands.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "convert/instant.h"

namespace ravu {

enum class AuthorizationStatus : int {
    notDetermined = 0,
    restricted = 1,
    denied = 2,
    fullAccess = 3,
    writeOnly = 4,
};

/// Kind of account a calendar belongs to. `other` stands for any kind outside the list.
enum class SourceType : int {
    local = 0,
    exchange = 1,
    calDAV = 2,
    mobileMe = 3,
    subscribed = 4,
    birthdays = 5,
    other = 99,
};

struct Source {
    std::string title;
    SourceType type = SourceType::local;

    friend bool operator==(const Source&, const Source&) = default;
};

struct Calendar {
    std::string identifier;
    std::string title;
    bool allowsContentModifications = true;
    /// Colour components in the colour's own space (red, green, blue, alpha for the directory
    /// store). None when the calendar has no colour; a grey colour has two components.
    std::optional<std::vector<double>> color;
    std::optional<Source> source;

    friend bool operator==(const Calendar&, const Calendar&) = default;
};

enum class Frequency : int { daily = 0, weekly = 1, monthly = 2, yearly = 3 };

/// Day numbers as calendar stores count them: Sunday is 1, Saturday 7.
enum class Weekday : int {
    sunday = 1,
    monday = 2,
    tuesday = 3,
    wednesday = 4,
    thursday = 5,
    friday = 6,
    saturday = 7,
};

/// The end of a series: after a number of occurrences, or at an instant.
struct OccurrenceCount {
    std::int64_t value = 0;
    friend bool operator==(const OccurrenceCount&, const OccurrenceCount&) = default;
};
using RecurrenceEnd = std::variant<OccurrenceCount, Instant>;

/// The repetition the program can write: a frequency, an interval, days of the week and an end.
struct RecurrenceRule {
    Frequency frequency = Frequency::daily;
    std::int64_t interval = 1;
    std::vector<Weekday> daysOfTheWeek;  ///< empty: no days of the week
    std::optional<RecurrenceEnd> end;

    friend bool operator==(const RecurrenceRule&, const RecurrenceRule&) = default;
};

/// How far a save or removal on a recurring event reaches.
enum class Span : int {
    thisEvent = 0,     ///< the one occurrence
    futureEvents = 1,  ///< the event and, when it repeats, the series from it on
};

/// An event, or one occurrence of a recurring event, as a plain value.
///
/// Values read from the store are copies: changing one changes nothing until it is handed back
/// to `Store::saveEvent`. An event that was never saved has an empty identifier.
struct Event {
    std::string identifier;  ///< the same for every occurrence of a series
    std::string calendarId;  ///< empty: no calendar
    std::optional<std::string> title;
    std::optional<Instant> startDate;
    std::optional<Instant> endDate;
    bool allDay = false;
    std::optional<std::string> location;
    std::optional<std::string> url;
    std::optional<Instant> lastModified;
    /// Zone name (IANA) of a timed event's start; none for floating and all-day events.
    std::optional<std::string> timeZone;
    /// The repetition a save writes (with `Changes::recurrence`). Events read from a store leave
    /// it empty: occurrences never carry their series' rules, and a save replaces them whole.
    std::vector<RecurrenceRule> recurrenceRules;
    /// For an occurrence of a series: the start it was generated at, before any edit moved it.
    /// None for a single event and for a series as a whole.
    std::optional<Instant> occurrenceDate;

    friend bool operator==(const Event&, const Event&) = default;
};

/// The fields a save writes. Every other field keeps what the store holds, byte for byte, so a
/// save never rewrites what its caller did not set. A new event is written whole.
struct Changes {
    bool title = false;
    bool location = false;
    bool url = false;
    bool times = false;  ///< start, end and the all-day flag
    /// The repetition: every rule and extra date of the series is replaced by
    /// `Event::recurrenceRules`, or removed when that is empty. Never for one occurrence.
    bool recurrence = false;

    static constexpr Changes all() { return {true, true, true, true, true}; }
    friend bool operator==(const Changes&, const Changes&) = default;
};

/// Why the store could not do what it was asked. "Not there" (`gone`) is kept apart from every
/// failure to find out: a host deletes its copy of what is gone, and keeps what could not be read.
enum class ErrorKind : int {
    gone,      ///< the event, occurrence or calendar is not there
    changed,   ///< another program changed the item after this run read it
    readOnly,  ///< the calendar takes no changes
    refused,   ///< the calendar service refused the call
    timedOut,  ///< the calendar service did not answer in time
    storage,   ///< the store's files or the service failed otherwise
};

/// A failure of the store, with a message a person can read.
struct StoreError {
    std::string message;
    ErrorKind kind = ErrorKind::storage;
    friend bool operator==(const StoreError&, const StoreError&) = default;
};

/// What a save or removal gives back: nothing when it worked, the store's error otherwise.
using WriteError = std::optional<StoreError>;

/// What a read gives back: the value, or why the store could not give it.
template <typename T>
class [[nodiscard]] Result {
  public:
    Result(T value) : held_(std::move(value)) {}
    Result(StoreError error) : held_(std::move(error)) {}

    explicit operator bool() const { return held_.index() == 0; }
    T& operator*() { return std::get<0>(held_); }
    const T& operator*() const { return std::get<0>(held_); }
    T* operator->() { return &std::get<0>(held_); }
    const T* operator->() const { return &std::get<0>(held_); }
    const StoreError& error() const { return std::get<1>(held_); }
    /// Whether the read found that what it looked for is not there.
    bool gone() const { return !*this && error().kind == ErrorKind::gone; }

    friend bool operator==(const Result&, const Result&) = default;

  private:
    std::variant<T, StoreError> held_;
};

/// How much a calendar listing says.
enum class Listing : int {
    /// Identity, titles, source and colour, without opening any calendar. Writability is only
    /// what the store knows beforehand: false for a calendar that never takes changes, else
    /// true; `Store::calendarTakesChanges` tells the rest.
    names,
    /// Also whether each calendar takes changes now.
    complete,
};

/// The query of a window: every event and occurrence that overlaps [start, end), over the
/// calendars named, or over all calendars when the list is absent.
struct EventPredicate {
    Instant start;
    Instant end;
    std::optional<std::vector<std::string>> calendarIds;
};

inline EventPredicate predicateForEvents(Instant start, Instant end,
                                         std::optional<std::vector<std::string>> calendarIds) {
    return EventPredicate{start, end, std::move(calendarIds)};
}

/// The calendar store. Abstract so that the commands can run against the directory store, an
/// in-memory store in the tests, or any other store added later. No operation throws.
class Store {
  public:
    virtual ~Store() = default;

    /// Never asks anyone, never starts anything and never changes anything.
    virtual AuthorizationStatus authorizationStatus() const = 0;
    /// Asks for full access unless it is granted already, starting what the store needs, and
    /// waits for the answer; true when access is granted and the store answered.
    virtual bool requestFullAccess() = 0;

    /// Every event calendar, in the store's order; an error when the store cannot list them.
    virtual Result<std::vector<Calendar>> calendars(Listing listing) const = 0;
    /// None when the calendar takes changes; `readOnly` when it does not; any other error when
    /// the store cannot tell.
    [[nodiscard]] virtual WriteError calendarTakesChanges(std::string_view calendarId) const = 0;
    /// Every event and occurrence overlapping the window, each occurrence with its own start
    /// and end, in the store's order. An error, never a shorter list, when a calendar cannot be
    /// read in full (an item that cannot be read is passed over with a line).
    virtual Result<std::vector<Event>> eventsMatching(const EventPredicate& predicate) const = 0;
    /// What `eventsMatching` over all calendars gives of the one item `identifier` (a single
    /// event, or a series with its changed occurrences) in [start, end), without reading any
    /// other, so that looking up one series costs what the series holds, not what the store does.
    /// Nothing at all when the item is not there.
    virtual Result<std::vector<Event>> itemEventsMatching(std::string_view identifier,
                                                          Instant start, Instant end) const = 0;
    /// The single event or the whole series (with the series' own start and end); `gone` when
    /// it is not there.
    virtual Result<Event> calendarItemWithIdentifier(std::string_view identifier) const = 0;

    /// A new event that belongs to no calendar yet and is not saved: a plain value, the same for
    /// every store.
    Event newEvent() const { return Event{}; }
    /// Announces that the run is about to look events up and change them. A store that other
    /// processes share takes its write lock here, so that no other run writes between this
    /// run's look-ups and the writes that depend on them (two runs creating the same item make
    /// one event, not two). A failure is reported again by every later write.
    [[nodiscard]] virtual WriteError beginChanges() = 0;
    /// Writes the `changes` of the event (all of a new one). On success a new event gets its
    /// identifier filled in.
    [[nodiscard]] virtual WriteError saveEvent(Event& event, Span span, Changes changes) = 0;
    [[nodiscard]] virtual WriteError removeEvent(const Event& event, Span span) = 0;
};

}  // namespace ravu

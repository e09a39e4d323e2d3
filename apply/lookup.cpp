#include "apply/lookup.h"

#include <algorithm>
#include <charconv>
#include <exception>
#include <tuple>

#include "convert/marker.h"
#include "convert/time.h"
#include "store/policy.h"

namespace ravu {
namespace {

using std::chrono::seconds;

/// The longest stretch of time one query of the marker index reads. A queue's creates a month
/// apart cost one query each, and the store's events of one month are held at a time.
constexpr auto maxStretch = date::days{31};

/// `instant` moved by whole days on the user's calendar, or `instant` itself where the zone
/// cannot say.
Instant shifted(Instant instant, int days, const TimeZone& zone) {
    try {
        return addDays(instant, days, zone);
    } catch (const std::exception&) {
        return instant;
    }
}

struct Window {
    Instant start;
    Instant end;
};

Window around(const Context& context, Instant middle, int days) {
    return {shifted(middle, -days, context.zone), shifted(middle, days, context.zone)};
}

/// Whether a query of the window reports the event: it starts before the window ends and ends
/// after it starts, or, having no length, starts in it.
bool overlaps(const Event& event, Window window) {
    const Instant start = event.startDate.value_or(window.start);
    const Instant end = event.endDate.value_or(start);
    return start == end ? start >= window.start && start < window.end
                        : start < window.end && end > window.start;
}

Result<std::vector<Event>> eventsAround(const Context& context, Instant middle, int days,
                                        const std::string& calendarId) {
    const Window window = around(context, middle, days);
    return context.store.eventsMatching(
        predicateForEvents(window.start, window.end, std::vector{calendarId}));
}

Result<std::vector<Event>> itemEventsAround(const Context& context, std::string_view uid,
                                            Instant middle, int days) {
    const Window window = around(context, middle, days);
    return context.store.itemEventsMatching(uid, window.start, window.end);
}

Instant::duration distance(Instant a, Instant b) {
    return a < b ? b - a : a - b;
}

/// A number of a day text: an optional "+" and ASCII digits ("-" separates the pieces).
std::optional<std::int64_t> number(std::string_view piece) {
    if (piece.front() == '+') {
        piece.remove_prefix(1);
    }
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(piece.data(), piece.data() + piece.size(), value);
    if (error != std::errc{} || end != piece.data() + piece.size()) {
        return std::nullopt;
    }
    return value;
}

/// The numbers of a day text split at "-", leaving out the pieces that are not numbers.
std::vector<std::int64_t> dayNumbers(std::string_view day) {
    std::vector<std::int64_t> numbers;
    for (std::size_t start = 0; start <= day.size();) {
        const std::size_t end = std::min(day.find('-', start), day.size());
        if (end > start) {
            if (const auto value = number(day.substr(start, end - start))) {
                numbers.push_back(*value);
            }
        }
        start = end + 1;
    }
    return numbers;
}

}  // namespace

MarkerIndex::MarkerIndex(const Context& context, const std::vector<LookUp>& lookUps)
    : context_(&context) {
    struct Planned {
        const std::string* logicalKey;
        Window window;
        std::string marker;
    };
    std::vector<Planned> windows;
    for (const LookUp& lookUp : lookUps) {
        if (auto marker = markerURL(lookUp.itemId)) {
            windows.push_back({&lookUp.logicalKey, around(context, lookUp.near, 1), *marker});
        }
    }
    std::sort(windows.begin(), windows.end(), [](const Planned& a, const Planned& b) {
        return std::tie(*a.logicalKey, a.window.start) < std::tie(*b.logicalKey, b.window.start);
    });
    for (Planned& planned : windows) {
        if (stretches_.empty() || stretches_.back().logicalKey != *planned.logicalKey ||
            planned.window.end - stretches_.back().start > maxStretch) {
            stretches_.push_back(
                Stretch{*planned.logicalKey, planned.window.start, planned.window.end, {}, {}});
        }
        Stretch& stretch = stretches_.back();
        stretch.end = std::max(stretch.end, planned.window.end);
        ++stretch.markers[std::move(planned.marker)].lookUps;
    }
}

void MarkerIndex::read(std::size_t stretch, const std::string& calendarId) {
    Stretch& known = stretches_[stretch];
    if (known.read) {
        return;
    }
    known.read = true;
    known.calendarId = calendarId;
    auto events = context_->store.eventsMatching(
        predicateForEvents(known.start, known.end, std::vector{calendarId}));
    if (!events) {
        known.failure = events.error();
        return;
    }
    for (Event& event : *events) {
        keep(stretch, std::move(event));
    }
}

std::vector<Event>* MarkerIndex::keep(std::size_t stretch, Event event) {
    auto& markers = stretches_[stretch].markers;
    const auto kept = event.url ? markers.find(*event.url) : markers.end();
    if (kept == markers.end() || event.calendarId != stretches_[stretch].calendarId) {
        return nullptr;
    }
    std::vector<Place>& places = placesOf_[event.identifier];
    Place place{stretch, kept->first};
    if (std::find(places.begin(), places.end(), place) == places.end()) {
        places.push_back(std::move(place));
    }
    kept->second.events.push_back(std::move(event));
    return &kept->second.events;
}

Result<Event> MarkerIndex::find(std::string_view itemId, Instant near, std::string_view logicalKey,
                                const std::string& calendarId) {
    const StoreError none{"no event carries the item's marker", ErrorKind::gone};
    const auto marker = markerURL(itemId);
    if (!marker) {
        return none;
    }
    const Window window = around(*context_, near, 1);
    // The first stretch of the key that holds the window and the marker is the one the look-up
    // was given to: every earlier one ends before the window does.
    for (std::size_t at = 0; at < stretches_.size(); ++at) {
        Stretch& stretch = stretches_[at];
        if (stretch.logicalKey != logicalKey || window.start < stretch.start ||
            window.end > stretch.end) {
            continue;
        }
        const auto kept = stretch.markers.find(*marker);
        if (kept == stretch.markers.end()) {
            continue;
        }
        read(at, calendarId);
        const auto& events = kept->second.events;
        const auto first = std::find_if(events.begin(), events.end(), [&](const Event& event) {
            return overlaps(event, window);
        });
        Result<Event> found = stretch.failure         ? Result<Event>{*stretch.failure}
                              : first != events.end() ? Result<Event>{*first}
                                                      : Result<Event>{none};
        if (--kept->second.lookUps == 0) {
            stretch.markers.erase(kept);
        }
        return found;
    }
    // A look-up the index was not made for: the query it stands for.
    auto candidates = eventsAround(*context_, near, 1, calendarId);
    if (!candidates) {
        return candidates.error();
    }
    for (Event& candidate : *candidates) {
        if (candidate.url == marker) {
            return std::move(candidate);
        }
    }
    return none;
}

void MarkerIndex::update(const std::string& identifier) {
    if (const auto places = placesOf_.extract(identifier)) {
        for (const auto& [stretch, marker] : places.mapped()) {
            if (const auto kept = stretches_[stretch].markers.find(marker);
                kept != stretches_[stretch].markers.end()) {
                std::erase_if(kept->second.events,
                              [&](const Event& event) { return event.identifier == identifier; });
            }
        }
    }
    std::vector<std::vector<Event>*> added;
    for (std::size_t stretch = 0; stretch < stretches_.size(); ++stretch) {
        Stretch& known = stretches_[stretch];
        if (known.markers.empty() || !known.read || known.failure) {
            continue;  // looked up in full, still to be read, or not to be trusted
        }
        auto events = context_->store.itemEventsMatching(identifier, known.start, known.end);
        if (!events) {
            // What the run wrote cannot be read back: a create looking for it must not go on as
            // if it were not there.
            known.failure = events.error();
            continue;
        }
        for (Event& event : *events) {
            std::vector<Event>* kept = keep(stretch, std::move(event));
            if (kept && (added.empty() || added.back() != kept)) {
                added.push_back(kept);
            }
        }
    }
    for (std::vector<Event>* events : added) {
        std::stable_sort(events->begin(), events->end(), comesBefore);
    }
}

Result<Event> findOccurrence(const Context& context, std::string_view uid, Instant near) {
    auto candidates = itemEventsAround(context, uid, near, 1);
    if (!candidates) {
        return candidates.error();
    }
    const StoreError none{"no such occurrence", ErrorKind::gone};
    Event* nearest = nullptr;
    for (Event& candidate : *candidates) {
        if (candidate.identifier != uid || !candidate.startDate) {
            continue;
        }
        if (!nearest ||
            distance(*candidate.startDate, near) < distance(*nearest->startDate, near)) {
            nearest = &candidate;
        }
    }
    if (!nearest) {
        return none;
    }
    // An all-day occurrence starts at its midnight, hours from any instant the host shows for it.
    const bool matches = nearest->allDay ? sameDay(*nearest->startDate, near, context.zone)
                                         : distance(*nearest->startDate, near) < seconds{120};
    if (!matches) {
        return none;
    }
    return std::move(*nearest);
}

Result<Event> findAllDayOccurrence(const Context& context, std::string_view uid,
                                   std::string_view day) {
    const StoreError none{"no such occurrence", ErrorKind::gone};
    const auto numbers = dayNumbers(day);
    if (numbers.size() != 3) {
        return none;
    }
    // Beyond these the date library cannot hold the date; no day string could match anyway.
    const std::int64_t year = numbers[0];
    const std::int64_t month = numbers[1];
    const std::int64_t dayOfMonth = numbers[2];
    if (year < int{date::year::min()} || year > int{date::year::max()} || month < 1 || month > 12 ||
        dayOfMonth < 1 || dayOfMonth > 31) {
        return none;
    }
    const auto midnight = startOfDay(static_cast<int>(year), static_cast<unsigned>(month),
                                     static_cast<unsigned>(dayOfMonth), context.zone);
    if (!midnight) {
        return none;
    }
    auto candidates = itemEventsAround(context, uid, *midnight, 2);
    if (!candidates) {
        return candidates.error();
    }
    for (Event& candidate : *candidates) {
        if (candidate.identifier != uid || !candidate.allDay || !candidate.startDate) {
            continue;
        }
        const TimeZone* own = candidate.timeZone ? findZone(*candidate.timeZone) : nullptr;
        if (dayString(*candidate.startDate, own ? *own : context.zone) == day) {
            return std::move(candidate);
        }
    }
    return none;
}

}  // namespace ravu

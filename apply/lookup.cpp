#include "apply/lookup.h"

#include <charconv>
#include <exception>
#include <vector>

#include "convert/marker.h"
#include "convert/time.h"

namespace ravu {
namespace {

using std::chrono::seconds;

/// `instant` moved by whole days on the user's calendar, or `instant` itself where the zone
/// cannot say.
Instant shifted(Instant instant, int days, const TimeZone& zone) {
    try {
        return addDays(instant, days, zone);
    } catch (const std::exception&) {
        return instant;
    }
}

std::vector<Event> eventsAround(const Context& context, Instant middle, int days) {
    return context.store.eventsMatching(predicateForEvents(
        shifted(middle, -days, context.zone), shifted(middle, days, context.zone), std::nullopt));
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

std::optional<Event> findByMarker(const Context& context, std::string_view itemId, Instant near) {
    const auto marker = markerURL(itemId);
    if (!marker) {
        return std::nullopt;
    }
    for (Event& candidate : eventsAround(context, near, 1)) {
        if (candidate.url == marker) {
            return std::move(candidate);
        }
    }
    return std::nullopt;
}

std::optional<Event> findOccurrence(const Context& context, std::string_view uid, Instant near) {
    std::vector<Event> candidates = eventsAround(context, near, 1);
    Event* nearest = nullptr;
    for (Event& candidate : candidates) {
        if (candidate.identifier != uid || !candidate.startDate) {
            continue;
        }
        if (!nearest ||
            distance(*candidate.startDate, near) < distance(*nearest->startDate, near)) {
            nearest = &candidate;
        }
    }
    if (!nearest) {
        return std::nullopt;
    }
    // An all-day occurrence starts at its midnight, hours from any instant the host shows for it.
    const bool matches = nearest->allDay ? sameDay(*nearest->startDate, near, context.zone)
                                         : distance(*nearest->startDate, near) < seconds{120};
    if (!matches) {
        return std::nullopt;
    }
    return std::move(*nearest);
}

std::optional<Event> findAllDayOccurrence(const Context& context, std::string_view uid,
                                          std::string_view day) {
    const auto numbers = dayNumbers(day);
    if (numbers.size() != 3) {
        return std::nullopt;
    }
    // Beyond these the date library cannot hold the date; no day string could match anyway.
    const std::int64_t year = numbers[0];
    const std::int64_t month = numbers[1];
    const std::int64_t dayOfMonth = numbers[2];
    if (year < int{date::year::min()} || year > int{date::year::max()} || month < 1 || month > 12 ||
        dayOfMonth < 1 || dayOfMonth > 31) {
        return std::nullopt;
    }
    const auto midnight = startOfDay(static_cast<int>(year), static_cast<unsigned>(month),
                                     static_cast<unsigned>(dayOfMonth), context.zone);
    if (!midnight) {
        return std::nullopt;
    }
    for (Event& candidate : eventsAround(context, *midnight, 2)) {
        if (candidate.identifier != uid || !candidate.allDay || !candidate.startDate) {
            continue;
        }
        const TimeZone* own = candidate.timeZone ? findZone(*candidate.timeZone) : nullptr;
        if (dayString(*candidate.startDate, own ? *own : context.zone) == day) {
            return std::move(candidate);
        }
    }
    return std::nullopt;
}

}  // namespace ravu

#include "store/policy.h"

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <tuple>

namespace ravu {
namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

}  // namespace

std::size_t roomFor(std::size_t found) {
    return std::min(maxOccurrences, found < maxRecords ? maxRecords - found : 1);
}

std::string itemLine(std::string_view label, std::string_view what) {
    return "ravu-calendar: " + std::string{label} + ": " + std::string{what};
}

std::string cutShort(std::size_t room) {
    return "too many occurrences in the window; only the first " + std::to_string(room) +
           " are shown";
}

bool comesBefore(const Event& a, const Event& b) {
    return std::tie(a.startDate, a.identifier, a.occurrenceDate) <
           std::tie(b.startDate, b.identifier, b.occurrenceDate);
}

void inQueryOrder(std::vector<Event>& found) {
    // Positions are sorted rather than the events, which are large; the order is then applied
    // in place, one cycle of the permutation at a time.
    std::vector<std::uint32_t> order(found.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(),
              [&](std::uint32_t a, std::uint32_t b) { return comesBefore(found[a], found[b]); });
    for (std::uint32_t first = 0; first < order.size(); ++first) {
        if (order[first] == first) {
            continue;
        }
        Event held = std::move(found[first]);
        std::uint32_t to = first;
        for (std::uint32_t from = order[to]; from != first; to = from, from = order[to]) {
            found[to] = std::move(found[from]);
            order[to] = to;
        }
        found[to] = std::move(held);
        order[to] = to;
    }
}

std::optional<std::vector<double>> colorOf(std::string_view text, ColorText spellings) {
    const bool spelled =
        text.size() == 7 || (text.size() == 9 && spellings == ColorText::rgbOrRgba);
    if (!spelled || text.front() != '#') {
        return std::nullopt;
    }
    std::vector<double> components;
    for (std::size_t i = 1; i < text.size(); i += 2) {
        const int high = hexDigit(text[i]);
        const int low = hexDigit(text[i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        components.push_back((high * 16 + low) / 255.0);
    }
    if (components.size() == 3) {
        components.push_back(1.0);
    }
    return components;
}

StoreError readOnly() {
    return StoreError{"calendar is read-only", ErrorKind::readOnly};
}

StoreError noSuchCalendar(std::string_view identifier) {
    return StoreError{"the calendar " + std::string{identifier} + " does not exist",
                      ErrorKind::gone};
}

StoreError noCalendar() {
    return StoreError{"the event belongs to no calendar", ErrorKind::gone};
}

StoreError eventGone() {
    return StoreError{"the event no longer exists", ErrorKind::gone};
}

StoreError cannotMove() {
    return StoreError{"moving an event to another calendar is not supported"};
}

StoreError changedElsewhere(std::string_view label, std::string_view refused) {
    return StoreError{std::string{label} +
                          " was changed by another program after it was read; it was not " +
                          std::string{refused},
                      ErrorKind::changed};
}

}  // namespace ravu

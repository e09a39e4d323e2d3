// What every store does alike, written once: the order and the budgets of a query, the colour
// text of a calendar, and the errors a refused write gives. A store adds only what talks to its
// own backend.
#pragma once

#include <cstddef>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/store.h"

namespace ravu {

// --- Queries ---------------------------------------------------------------------------------

/// The most occurrences one item gives for one query: an HOURLY series over a whole snapshot
/// window has about 10,320.
inline constexpr std::size_t maxOccurrences = 100'000;

/// The most events and occurrences one query reports.
inline constexpr std::size_t maxRecords = 2'000'000;

/// How many events and occurrences of one more item a query that holds `found` takes: at most
/// `maxOccurrences`, and once the query's budget is spent one, so that every further event
/// still shows its first occurrence. An event is never dropped for being too dense.
std::size_t roomFor(std::size_t found);

/// The line told about an item, which `label` names: "ravu-calendar: <label>: <what>".
std::string itemLine(std::string_view label, std::string_view what);

/// What is told, once, of an item whose occurrences a query cut short at `room`.
std::string cutShort(std::size_t room);

/// The order of every store's queries: by start instant, then identifier, then the occurrence's
/// original start (which sets apart two occurrences of a series moved onto the same instant).
bool comesBefore(const Event& a, const Event& b);

/// Puts a query's result in that order.
void inQueryOrder(std::vector<Event>& found);

// --- Calendars -------------------------------------------------------------------------------

/// Which spellings of a colour a store's calendars use.
enum class ColorText {
    rgb,       ///< "#RRGGBB"
    rgbOrRgba  ///< "#RRGGBB" or "#RRGGBBAA"
};

/// Colour text (hexadecimal digits of either case) as red, green, blue and alpha in 0..1; any
/// other spelling is no colour. Each byte / 255 scales back to exactly that byte, so the colour
/// text of the calendar list is the store's.
std::optional<std::vector<double>> colorOf(std::string_view text, ColorText spellings);

// --- What a refused write says ---------------------------------------------------------------

StoreError readOnly();
StoreError noSuchCalendar(std::string_view identifier);
/// A new event that names no calendar.
StoreError noCalendar();
StoreError eventGone();
StoreError cannotMove();

/// An item, which `label` names, that another program changed after this run read it: the
/// write did not happen. `refused` says what was not done ("overwritten", "removed").
StoreError changedElsewhere(std::string_view label, std::string_view refused);

/// Runs a save or a removal (`doing`: "saved", "removed"): what throws inside it is its error,
/// since nothing throws across the store interface.
template <typename Write>
WriteError guarded(std::string_view doing, Write&& write) {
    try {
        return write();
    } catch (const std::exception& error) {
        return StoreError{"the event could not be " + std::string{doing} + ": " + error.what()};
    }
}

}  // namespace ravu

// Calendar identity across runs, de-duplication, and the `calendars` command.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "document/context.h"

namespace ravu {

/// "<source type word>|<source title>|<calendar title>", nothing escaped or trimmed.
std::string logicalKey(const Calendar& calendar);

/// "#RRGGBB" of the first three colour components; none without a colour or with fewer than
/// three components.
std::optional<std::string> hex(const std::optional<std::vector<double>>& color);

/// The store's calendars, one per logical key (the one whose identifier sorts first), in the
/// store's order. Writes one diagnostic line for each calendar it drops.
Result<std::vector<Calendar>> uniqueCalendars(Context& context, Listing listing);

/// The calendar kept for the key when it takes changes. Otherwise an error: `gone` when no
/// calendar has the key, `readOnly` when it takes no changes, another kind when the store
/// cannot tell.
Result<Calendar> firstWritableCalendar(Context& context, std::string_view key);

/// The calendars document: {"calendars": [...]}; no calendars when the store cannot list them.
Json cmdCalendars(Context& context);

}  // namespace ravu

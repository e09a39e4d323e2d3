// Calendar identity across runs, de-duplication, and the `calendars` command.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "command/context.h"

namespace ravu {

/// "<source type word>|<source title>|<calendar title>", nothing escaped or trimmed.
std::string logicalKey(const Calendar& calendar);

/// "#RRGGBB" of the first three colour components; none without a colour or with fewer than
/// three components.
std::optional<std::string> hex(const std::optional<std::vector<double>>& color);

/// The store's calendars, one per logical key (the one whose identifier sorts first), in the
/// store's order. Writes one diagnostic line for each calendar it drops.
std::vector<Calendar> uniqueCalendars(Context& context);

/// The calendar kept for the key when it takes changes; none otherwise.
std::optional<Calendar> firstWritableCalendar(Context& context, std::string_view key);

/// The calendars document: {"calendars": [...]}.
Json cmdCalendars(Context& context);

}  // namespace ravu

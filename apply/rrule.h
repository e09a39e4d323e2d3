// RRULE text from the host, turned into the repetition the store can write.
//
// Only a subset is understood: FREQ, INTERVAL, BYDAY without week numbers, COUNT and UNTIL.
// A rule that needs more (BYSETPOS, BYMONTHDAY, an ordinal BYDAY) gives no rule at all rather
// than a different repetition; other keys (BYMONTH, WKST, ...) are ignored.
#pragma once

#include <optional>
#include <string_view>

#include "store/store.h"

namespace ravu {

/// The rule of an RRULE value such as "FREQ=WEEKLY;BYDAY=MO,WE" (case-insensitive, any
/// "RRULE:" dropped), or none when the text lies outside the subset.
std::optional<RecurrenceRule> ekRecurrence(std::string_view text);

/// An UNTIL value in UTC: "yyyyMMddTHHmmssZ" when it holds a "T", else "yyyyMMdd" (midnight
/// UTC). The whole text must fit; nothing is trimmed or forgiven.
std::optional<Instant> parseRRuleUntil(std::string_view value);

}  // namespace ravu

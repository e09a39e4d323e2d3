// The host's fields written onto an event in memory; the caller saves it.
//
// A value of the wrong JSON type counts as absent, and an instant `parseISO` does not read
// counts as absent too: no field ever makes either operation fail.
#pragma once

#include "command/context.h"

namespace ravu {

/// The text under `key`; null when absent or of another type.
const std::string* textField(const Json& fields, std::string_view key);

/// The boolean under `key`; none when absent or of another type.
std::optional<bool> boolField(const Json& fields, std::string_view key);

/// The instant of the text under `key`; none when absent, of another type or unreadable.
std::optional<Instant> instantField(const Json& fields, std::string_view key);

/// For the host's own items: title (kept, or "(untitled)"), all-day flag (false when absent),
/// start, end (start plus one hour when absent), the marker of a non-empty `itemId`, and the
/// repetition, which is always replaced. Returns the fields it set. Call it as `ravu::apply`:
/// through `Json`, argument lookup also finds `std::apply`, which wins for a temporary
/// dictionary.
Changes apply(const Json& fields, Event& event);

/// A partial edit of one occurrence of somebody else's event: only the fields sent change,
/// except the end, which falls back to a default by the all-day flag when `endsAt` is absent
/// and is repaired when it lies before the start. `location` is set or, when empty, cleared.
/// Returns the fields it set.
Changes applyExternal(const Json& fields, Event& event);

}  // namespace ravu

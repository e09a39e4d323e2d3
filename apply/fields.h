// The host's fields written onto an event in memory; the caller saves it.
#pragma once

#include "apply/entry.h"

namespace ravu {

/// For the host's own items: title (kept, or "(untitled)"), all-day flag (false when absent),
/// start, end (start plus one hour when absent), the marker of a non-empty `itemId`, and the
/// repetition, which is always replaced. Returns the fields it set.
Changes apply(const Entry& entry, Event& event);

/// A partial edit of one occurrence of somebody else's event: only the fields sent change,
/// except the end, which falls back to a default by the all-day flag when `endsAt` is absent
/// and is repaired when it lies before the start. `location` is set or, when empty, cleared.
/// Returns the fields it set.
Changes applyExternal(const Entry& entry, Event& event);

}  // namespace ravu

// The `snapshot` command: every event of the followed calendars in a window around now.
#pragma once

#include "document/json_text.h"

namespace ravu {

/// The window reaches this many calendar days back from now and ahead of it, in the user's
/// zone with the wall-clock time of now kept.
inline constexpr int pastDays = 30;
inline constexpr int futureDays = 400;

/// Writes the snapshot document for a request {"logicalKeys": [...]}, record by record as the
/// store hands them over.
void cmdSnapshot(Context& context, const Json& request, const Output& output);

}  // namespace ravu

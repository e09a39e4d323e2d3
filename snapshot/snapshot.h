// The `snapshot` command: every event of the followed calendars in a window around now.
#pragma once

#include "store/context.h"

namespace ravu {

/// The snapshot document for a request {"logicalKeys": [...]}.
Json cmdSnapshot(Context& context, const Json& request);

}  // namespace ravu

// Calendar identity across runs, de-duplication, and the `calendars` command.
#pragma once

#include "store/context.h"

namespace ravu {

/// The calendars document: {"calendars": [...]}.
Json cmdCalendars(Context& context);

}  // namespace ravu

// What one run of a command works with: the store, the clock, the user's zone, and where
// diagnostic lines go. `main` makes one; tests make their own.
#pragma once

#include <ostream>

#include <date/tz.h>
#include <nlohmann/json.hpp>

#include "convert/instant.h"
#include "store/store.h"

namespace ravu {

/// Requests and result documents.
using Json = nlohmann::json;

struct Context {
    Store& store;
    std::ostream& diagnostics;    ///< standard error in the program
    Instant now;                  ///< read once per run
    const date::time_zone& zone;  ///< the user's current zone
};

}  // namespace ravu

// The time a store reads. The program hands its stores the system's clocks and the tests hand
// them their own: no store reads a clock of the system itself.
#pragma once

#include <chrono>
#include <functional>

#include "convert/instant.h"

namespace ravu {

struct Clock {
    using Monotonic = std::chrono::steady_clock::time_point;

    /// The wall clock, read for each stamp a write puts on what it changes (DTSTAMP,
    /// LAST-MODIFIED) and to age what a killed run left behind.
    std::function<Instant()> wall;
    /// The monotonic clock, which times every wait and the run's deadline.
    std::function<Monotonic()> monotonic;
};

}  // namespace ravu

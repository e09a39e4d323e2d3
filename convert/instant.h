// Instants and the zones they are shown in: the one time type every part of the program shares.
#pragma once

#include <chrono>

#include <date/tz.h>

namespace ravu {

/// A point in time. Microseconds are finer than anything a host or a calendar file sends.
using Instant = std::chrono::sys_time<std::chrono::microseconds>;

using TimeZone = date::time_zone;

}  // namespace ravu

// Instants and zones written as text in tests.
#pragma once

#include <gtest/gtest.h>

#include <string_view>

#include "convert/time.h"

namespace ravu::testing {

/// The instant of ISO-8601 text that must parse.
inline Instant at(std::string_view text) {
    const auto instant = parseISO(text);
    EXPECT_TRUE(instant) << text;
    return instant.value_or(Instant{});
}

/// A zone of the system's zone database that must exist.
inline const TimeZone& zone(std::string_view name) {
    return *findZone(name);
}

}  // namespace ravu::testing

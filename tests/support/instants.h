// Instants, zones and repetition rules written as text in tests.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string_view>

#include <nlohmann/json.hpp>

#include "convert/time.h"
#include "store/clock.h"

namespace ravu::testing {

/// The instant of ISO-8601 text that must parse.
inline Instant at(std::string_view text) {
    const auto instant = parseISO(text);
    EXPECT_TRUE(instant) << text;
    return instant.value_or(Instant{});
}

/// The system's clocks, as the program hands them to its stores.
inline const Clock& systemClock() {
    static const Clock clock{
        [] { return date::floor<std::chrono::microseconds>(std::chrono::system_clock::now()); },
        std::chrono::steady_clock::now};
    return clock;
}

/// A zone of the system's zone database that must exist.
inline const TimeZone& zone(std::string_view name) {
    return *findZone(name);
}

/// The value as JSON, null when there is none.
inline nlohmann::ordered_json orNull(const auto& value) {
    return value ? nlohmann::ordered_json(*value) : nlohmann::ordered_json();
}

/// A rule written as {"freq": "weekly", "interval": 2, "days": [2, 4], "count" or "until"}.
inline RecurrenceRule ruleOf(const nlohmann::json& rule) {
    static const std::map<std::string, Frequency> frequencies{{"daily", Frequency::daily},
                                                              {"weekly", Frequency::weekly},
                                                              {"monthly", Frequency::monthly},
                                                              {"yearly", Frequency::yearly}};
    RecurrenceRule made{frequencies.at(rule["freq"]), rule.value("interval", 1), {}, {}};
    for (const auto& day : rule.value("days", nlohmann::json::array())) {
        made.daysOfTheWeek.push_back(static_cast<Weekday>(day.get<int>()));
    }
    if (rule.contains("count")) {
        made.end = OccurrenceCount{rule["count"].get<std::int64_t>()};
    } else if (rule.contains("until")) {
        made.end = at(rule["until"].get<std::string>());
    }
    return made;
}

}  // namespace ravu::testing

// RRULE text from the host: any bytes give a rule or none, and a rule is always one the store
// can be handed (an interval of at least 1, weekdays in range).
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "apply/rrule.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text{reinterpret_cast<const char*>(data), size};
    if (const auto rule = ravu::ekRecurrence(text)) {
        if (rule->interval < 1) {
            std::abort();
        }
        for (const ravu::Weekday day : rule->daysOfTheWeek) {
            if (static_cast<int>(day) < 1 || static_cast<int>(day) > 7) {
                std::abort();
            }
        }
    }
    (void)ravu::parseRRuleUntil(text);
    return 0;
}

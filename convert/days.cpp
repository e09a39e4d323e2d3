#include "convert/days.h"

#include <algorithm>

#include "convert/time.h"

namespace ravu {

namespace {

bool onUtcMidnight(Instant instant) {
    return instant.time_since_epoch() % date::days{1} == Instant::duration::zero();
}

date::sys_days localDay(Instant instant, const TimeZone& zone) {
    return date::sys_days{date::floor<date::days>(localTime(instant, zone)).time_since_epoch()};
}

}  // namespace

date::sys_days dayOf(Instant instant, const TimeZone& zone) {
    return onUtcMidnight(instant) ? date::floor<date::days>(instant) : localDay(instant, zone);
}

AllDayDates allDayDates(Instant start, std::optional<Instant> end, const TimeZone& zone) {
    const date::sys_days first = dayOf(start, zone);
    date::sys_days last = first;
    if (end) {
        const date::sys_days endsOn = onUtcMidnight(*end)
                                          ? date::floor<date::days>(*end) - date::days{1}
                                          : localDay(*end - std::chrono::seconds{1}, zone);
        last = std::max(first, endsOn);
    }
    return AllDayDates{first, last + date::days{1}};
}

}  // namespace ravu

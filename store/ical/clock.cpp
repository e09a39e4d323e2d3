// Rules finer than a day, stepped on the wall clock.
//
// libical's iterator steps SECONDLY, MINUTELY and HOURLY rules one unit at a time and tests every
// step against the BY parts (five microseconds a step): FREQ=SECONDLY;BYMONTH=12 from January is
// 29 million steps before its first start. Here a period that fails a limit is left by jumping
// to the start of the next month, day, hour or minute that may pass, so a walk costs what it
// gives, plus a few jumps a day. The periods are counted from DTSTART's, in wall-clock time, as
// RFC 5545 (and libical, and python-dateutil) count them.
#include <algorithm>
#include <numeric>

#include "store/ical/model.h"

namespace ravu::ical {
namespace {

using std::chrono::seconds;
constexpr seconds day{86'400};
constexpr seconds week{7 * 86'400};

/// The values as bits of a mask; false when one lies outside [low, high].
template <typename Mask>
bool maskOf(const std::vector<int>& values, int low, int high, Mask& mask) {
    mask = 0;
    for (const int value : values) {
        if (value < low || value > high) {
            return false;
        }
        mask |= Mask{1} << value;
    }
    return true;
}

bool allowed(std::uint64_t mask, unsigned value) {
    return mask == 0 || ((mask >> value) & 1U) != 0;
}

/// Whether day `n` (1-based) of a stretch of `length` days is one of the signed values.
bool named(const std::vector<int>& values, int n, int length) {
    return values.empty() || std::any_of(values.begin(), values.end(), [&](int value) {
               return value > 0 ? value == n : length + 1 + value == n;
           });
}

long long floorDiv(seconds a, seconds b) {
    const long long q = a / b;
    return q - (a % b != seconds{0} && (a < seconds{0}) != (b < seconds{0}) ? 1 : 0);
}

long long ceilDiv(seconds a, seconds b) {
    return -floorDiv(-a, b);
}

/// The values of a field a rule's periods take: the listed ones, or all in [low, high].
std::vector<int> allOr(std::uint64_t mask, int low, int high) {
    std::vector<int> values;
    for (int value = low; value <= high; ++value) {
        if (allowed(mask, static_cast<unsigned>(value))) {
            values.push_back(value);
        }
    }
    return values;
}

/// Whether some period the rule steps to can pass its limits on the clock and the weekday: its
/// periods start `step` apart, so only some times of the day (and of the week) are reached.
bool someStartReachable(const Clock& rule) {
    const auto sinceDay = rule.base - date::floor<date::days>(rule.base);
    const long long dayGcd = std::gcd(rule.step.count(), day.count());
    const long long weekGcd = std::gcd(rule.step.count(), week.count());
    const long long weekday = date::weekday{date::floor<date::days>(rule.base)}.c_encoding();
    const long long sinceWeek = weekday * day.count() + sinceDay.count();
    const auto hours = allOr(rule.hours, 0, 23);
    const auto minutes =
        rule.unit < std::chrono::hours{1} ? allOr(rule.minutes, 0, 59) : std::vector<int>{0};
    const auto secondsOf =
        rule.unit < std::chrono::minutes{1} ? allOr(rule.seconds, 0, 59) : std::vector<int>{0};
    const auto weekdays = allOr(rule.weekdays, 0, 6);
    for (const int hour : hours) {
        for (const int minute : minutes) {
            for (const int second : secondsOf) {
                const long long at = 3600LL * hour + 60LL * minute + second;
                if ((at - sinceDay.count()) % dayGcd != 0) {
                    continue;
                }
                for (const int w : weekdays) {
                    if ((w * day.count() + at - sinceWeek) % weekGcd == 0) {
                        return true;
                    }
                }
            }
        }
    }
    return false;
}

}  // namespace

std::optional<Clock> clockOf(const icalrecurrencetype& rule, local_seconds start) {
    Clock clock;
    switch (rule.freq) {
        case ICAL_SECONDLY_RECURRENCE:
            clock.unit = seconds{1};
            break;
        case ICAL_MINUTELY_RECURRENCE:
            clock.unit = std::chrono::minutes{1};
            break;
        case ICAL_HOURLY_RECURRENCE:
            clock.unit = std::chrono::hours{1};
            break;
        default:
            return std::nullopt;
    }
    const auto day = date::floor<date::days>(start);
    if (rule.interval < 1 || rule.rscale != nullptr || !valuesOf(rule.by_week_no).empty() ||
        day >= local_days{date::year{beyondYear} / 1 / 1}) {
        return std::nullopt;
    }
    clock.start = start;
    clock.step = clock.unit * rule.interval;
    clock.base = start - (start - day) % clock.unit;

    // A leap second (60) never starts a period of the wall clock.
    auto secondValues = valuesOf(rule.by_second);
    std::erase(secondValues, 60);
    const auto minuteValues = valuesOf(rule.by_minute);
    std::uint64_t secondMask = 0;
    std::uint64_t minuteMask = 0;
    std::uint16_t monthMask = 0;
    std::uint8_t weekdayMask = 0;
    if (!maskOf(secondValues, 0, 59, secondMask) || !maskOf(minuteValues, 0, 59, minuteMask) ||
        !maskOf(valuesOf(rule.by_hour), 0, 23, clock.hours) ||
        !maskOf(valuesOf(rule.by_month), 1, 12, monthMask) ||
        (secondValues.empty() && !valuesOf(rule.by_second).empty())) {
        return std::nullopt;
    }
    clock.months = monthMask;
    for (const int code : valuesOf(rule.by_day)) {
        const int weekday = icalrecurrencetype_day_day_of_week(static_cast<short>(code));
        if (weekday < 1 || weekday > 7 ||
            icalrecurrencetype_day_position(static_cast<short>(code)) != 0) {
            return std::nullopt;
        }
        weekdayMask |= static_cast<std::uint8_t>(1U << (weekday - 1));
    }
    clock.weekdays = weekdayMask;
    clock.monthDays = valuesOf(rule.by_month_day);
    clock.yearDays = valuesOf(rule.by_year_day);
    const auto inRange = [](const std::vector<int>& values, int most) {
        return std::all_of(values.begin(), values.end(),
                           [&](int v) { return v != 0 && std::abs(v) <= most; });
    };
    if (!inRange(clock.monthDays, 31) || !inRange(clock.yearDays, 366)) {
        return std::nullopt;
    }
    static constexpr int longest[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (!clock.monthDays.empty() &&
        std::none_of(clock.monthDays.begin(), clock.monthDays.end(), [&](int v) {
            for (unsigned month = 1; month <= 12; ++month) {
                if (allowed(clock.months, month) && std::abs(v) <= longest[month - 1]) {
                    return true;
                }
            }
            return false;
        })) {
        return std::nullopt;
    }

    // The parts finer than the unit place the starts inside each period; the others limit the
    // periods. A finer part not given takes DTSTART's value.
    const date::hh_mm_ss clockTime{start - day};
    const auto orOwn = [](const std::vector<int>& values, long long own) {
        return values.empty() ? std::vector<int>{static_cast<int>(own)} : values;
    };
    if (clock.unit == std::chrono::hours{1}) {
        for (const int minute : orOwn(minuteValues, clockTime.minutes().count())) {
            for (const int second : orOwn(secondValues, clockTime.seconds().count())) {
                clock.offsets.push_back(std::chrono::minutes{minute} + seconds{second});
            }
        }
    } else if (clock.unit == std::chrono::minutes{1}) {
        clock.minutes = minuteMask;
        for (const int second : orOwn(secondValues, clockTime.seconds().count())) {
            clock.offsets.push_back(seconds{second});
        }
    } else {
        clock.minutes = minuteMask;
        clock.seconds = secondMask;
        clock.offsets.push_back(seconds{0});
    }
    std::sort(clock.offsets.begin(), clock.offsets.end());
    clock.offsets.erase(std::unique(clock.offsets.begin(), clock.offsets.end()),
                        clock.offsets.end());
    if (const auto positions = valuesOf(rule.by_set_pos); !positions.empty()) {
        std::vector<seconds> chosen;
        const auto size = static_cast<int>(clock.offsets.size());
        for (const int position : positions) {
            const int index = position > 0 ? position - 1 : size + position;
            if (position != 0 && index >= 0 && index < size) {
                chosen.push_back(clock.offsets[static_cast<std::size_t>(index)]);
            }
        }
        std::sort(chosen.begin(), chosen.end());
        chosen.erase(std::unique(chosen.begin(), chosen.end()), chosen.end());
        clock.offsets = std::move(chosen);
    }
    if (clock.offsets.empty() || !someStartReachable(clock)) {
        return std::nullopt;
    }
    return clock;
}

ClockWalk::ClockWalk(const Clock& rule, local_seconds from)
    : rule_(&rule),
      from_(std::max(from, rule.start)),
      period_(std::max(0LL, floorDiv(from_ - rule.base, rule.step))),
      at_(rule.offsets.size() + 1) {}

std::optional<long long> ClockWalk::passing(long long period, long& budget) const {
    const Clock& rule = *rule_;
    const local_seconds beyond{local_days{date::year{beyondYear} / 1 / 1}};
    for (;;) {
        if (budget-- <= 0) {
            return std::nullopt;
        }
        const local_seconds at = rule.base + rule.step * period;
        if (at >= beyond) {
            return std::nullopt;
        }
        const local_days day = date::floor<date::days>(at);
        const date::year_month_day ymd{day};
        const date::hh_mm_ss time{at - day};
        local_seconds next{};  // where the next period that may pass begins
        if (!allowed(rule.months, unsigned{ymd.month()})) {
            next = local_seconds{local_days{(ymd.year() / ymd.month() + date::months{1}) / 1}};
        } else if (!allowed(rule.weekdays, date::weekday{day}.c_encoding()) ||
                   !named(
                       rule.monthDays, static_cast<int>(unsigned{ymd.day()}),
                       static_cast<int>(unsigned{(ymd.year() / ymd.month() / date::last).day()})) ||
                   !named(rule.yearDays,
                          static_cast<int>((day - local_days{ymd.year() / 1 / 1}).count()) + 1,
                          ymd.year().is_leap() ? 366 : 365)) {
            next = local_seconds{day + date::days{1}};
        } else if (!allowed(rule.hours, static_cast<unsigned>(time.hours().count()))) {
            next = date::floor<std::chrono::hours>(at) + std::chrono::hours{1};
        } else if (!allowed(rule.minutes, static_cast<unsigned>(time.minutes().count()))) {
            next = date::floor<std::chrono::minutes>(at) + std::chrono::minutes{1};
        } else if (!allowed(rule.seconds, static_cast<unsigned>(time.seconds().count()))) {
            next = at + seconds{1};
        } else {
            return period;
        }
        period = std::max(period + 1, ceilDiv(next - rule.base, rule.step));
    }
}

std::optional<local_seconds> ClockWalk::next(long& budget) {
    const Clock& rule = *rule_;
    for (;;) {
        if (at_ > rule.offsets.size()) {
            const auto found = passing(period_, budget);
            if (!found) {
                return std::nullopt;
            }
            period_ = *found;
            at_ = 0;
        }
        if (at_ == rule.offsets.size()) {
            ++period_;
            at_ = rule.offsets.size() + 1;
            continue;
        }
        const local_seconds start = rule.base + rule.step * period_ + rule.offsets[at_++];
        if (start >= from_) {
            return start;
        }
    }
}

}  // namespace ravu::ical

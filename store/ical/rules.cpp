// Which repetition rules libical's iterator is given.
//
// The iterator steps one unit of the rule's frequency at a time and tests each step against the
// BY parts that limit it; one call returns only once a step matches. A part that matches rarely
// under a small frequency makes that call run for seconds (five microseconds a step: a Monday of
// a SECONDLY rule is 86,400 steps away), and one that can never match (February 30) runs it to
// libical's own end of time: a file of 199 bytes could hang every run. So the iterator only gets
// rules from the list below, with values that exist and can match from the rule's start. Rules
// finer than a day with BY parts go to the clock path (clock.cpp) instead; libical also gets
// some of them wrong (HOURLY;BYHOUR=23 from 10:00 leaves out that day's 23:00).
#include <algorithm>
#include <array>
#include <numeric>

#include "store/ical/model.h"

namespace ravu::ical {
namespace {

// The BY parts as bits of a set.
constexpr unsigned bySecond = 1U << 0;
constexpr unsigned byMinute = 1U << 1;
constexpr unsigned byHour = 1U << 2;
constexpr unsigned byDay = 1U << 3;
constexpr unsigned byMonthDay = 1U << 4;
constexpr unsigned byYearDay = 1U << 5;
constexpr unsigned byWeekNo = 1U << 6;
constexpr unsigned byMonth = 1U << 7;
constexpr unsigned bySetPos = 1U << 8;

constexpr unsigned timeOfDay = bySecond | byMinute | byHour;
constexpr unsigned dayParts = byDay | byMonthDay | byMonth;

/// The BY parts each frequency may have: none below a day.
unsigned allowedParts(icalrecurrencetype_frequency frequency) {
    switch (frequency) {
        case ICAL_DAILY_RECURRENCE:
            return timeOfDay | dayParts | bySetPos;
        case ICAL_WEEKLY_RECURRENCE:
            return timeOfDay | byDay | byMonth | bySetPos;
        case ICAL_MONTHLY_RECURRENCE:
            return timeOfDay | dayParts | bySetPos;
        case ICAL_YEARLY_RECURRENCE:
            return timeOfDay | dayParts | byYearDay | byWeekNo | bySetPos;
        default:
            return 0;
    }
}

bool within(const std::vector<int>& values, int low, int high, bool signedValues) {
    return std::all_of(values.begin(), values.end(), [&](int value) {
        const int magnitude = signedValues ? std::abs(value) : value;
        return magnitude >= low && magnitude <= high && (!signedValues || value != 0);
    });
}

constexpr std::array<int, 12> longestMonth{31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

/// Whether a day of the month the rule names exists in one of the months it can reach.
bool someDayExists(const std::vector<int>& monthDays, const std::vector<int>& months) {
    return std::any_of(months.begin(), months.end(), [&](int month) {
        return std::any_of(monthDays.begin(), monthDays.end(), [&](int day) {
            return std::abs(day) <= longestMonth[static_cast<std::size_t>(month - 1)];
        });
    });
}

/// The values of `cycle` that a start at `first` reaches in steps of `interval`.
std::vector<int> reached(int first, int interval, int cycle, int base) {
    std::vector<int> values;
    const int step = std::gcd(interval, cycle);
    for (int value = 0; value < cycle; ++value) {
        if ((value - first) % step == 0) {
            values.push_back(value + base);
        }
    }
    return values;
}

bool intersects(const std::vector<int>& a, const std::vector<int>& b) {
    return std::any_of(a.begin(), a.end(),
                       [&](int value) { return std::find(b.begin(), b.end(), value) != b.end(); });
}

/// Whether a BYSETPOS value can name one of the starts a period gives: at most so many days
/// (a weekday of the month occurs at most five times) at so many times of day. libical looks for
/// the first start of a rule whose positions never exist until its end of time.
bool someSetPosition(icalrecurrencetype_frequency frequency, const std::vector<int>& days,
                     const std::vector<int>& monthDays, const std::vector<int>& yearDays,
                     const std::vector<int>& positions, std::size_t hours, std::size_t minutes,
                     std::size_t seconds) {
    long most = 366;
    if (frequency == ICAL_DAILY_RECURRENCE) {
        most = 1;
    } else if (frequency == ICAL_WEEKLY_RECURRENCE) {
        most = days.empty() ? 1 : static_cast<long>(days.size());
    } else if (frequency == ICAL_MONTHLY_RECURRENCE) {
        most = !monthDays.empty() ? static_cast<long>(monthDays.size()) : !days.empty() ? 0 : 1;
        for (const int code : monthDays.empty() ? days : std::vector<int>{}) {
            most += icalrecurrencetype_day_position(static_cast<short>(code)) == 0 ? 5 : 1;
        }
    } else if (!yearDays.empty()) {
        most = static_cast<long>(yearDays.size());
    }
    most *= static_cast<long>(std::max<std::size_t>(hours, 1) * std::max<std::size_t>(minutes, 1) *
                              std::max<std::size_t>(seconds, 1));
    return std::any_of(positions.begin(), positions.end(),
                       [&](int position) { return std::abs(position) <= most; });
}

}  // namespace

bool expandable(const icalrecurrencetype& rule, local_seconds start) {
    const auto seconds = valuesOf(rule.by_second);
    const auto minutes = valuesOf(rule.by_minute);
    const auto hours = valuesOf(rule.by_hour);
    const auto days = valuesOf(rule.by_day);
    const auto monthDays = valuesOf(rule.by_month_day);
    const auto yearDays = valuesOf(rule.by_year_day);
    const auto weeks = valuesOf(rule.by_week_no);
    const auto months = valuesOf(rule.by_month);
    const auto positions = valuesOf(rule.by_set_pos);

    const auto bit = [](const std::vector<int>& values, unsigned part) {
        return values.empty() ? 0U : part;
    };
    const unsigned parts = bit(seconds, bySecond) | bit(minutes, byMinute) | bit(hours, byHour) |
                           bit(days, byDay) | bit(monthDays, byMonthDay) |
                           bit(yearDays, byYearDay) | bit(weeks, byWeekNo) | bit(months, byMonth) |
                           bit(positions, bySetPos);
    if ((parts & ~allowedParts(rule.freq)) != 0 || rule.interval < 1) {
        return false;
    }
    const bool positioned =
        rule.freq == ICAL_MONTHLY_RECURRENCE || rule.freq == ICAL_YEARLY_RECURRENCE;
    const bool daysValid = std::all_of(days.begin(), days.end(), [&](int code) {
        const auto day = static_cast<short>(code);
        const int position = icalrecurrencetype_day_position(day);
        const int weekday = icalrecurrencetype_day_day_of_week(day);
        return weekday >= 1 && weekday <= 7 && std::abs(position) <= (positioned ? 53 : 0);
    });
    if (!daysValid || !within(seconds, 0, 60, false) || !within(minutes, 0, 59, false) ||
        !within(hours, 0, 23, false) || !within(monthDays, 1, 31, true) ||
        !within(yearDays, 1, 366, true) || !within(weeks, 1, 53, true) ||
        !within(months, 1, 12, false) || !within(positions, 1, 366, true)) {
        return false;
    }

    if (!positions.empty() && !someSetPosition(rule.freq, days, monthDays, yearDays, positions,
                                               hours.size(), minutes.size(), seconds.size())) {
        return false;
    }

    const auto day = date::floor<date::days>(start);
    const date::year_month_day ymd{day};
    const int interval = rule.interval;
    std::vector<int> reachableMonths = months;
    if (reachableMonths.empty()) {
        reachableMonths.resize(12);
        std::iota(reachableMonths.begin(), reachableMonths.end(), 1);
    }
    if (rule.freq == ICAL_MONTHLY_RECURRENCE) {
        const auto steps = reached(static_cast<int>(unsigned{ymd.month()}) - 1, interval, 12, 1);
        reachableMonths.erase(std::remove_if(reachableMonths.begin(), reachableMonths.end(),
                                             [&](int month) {
                                                 return std::find(steps.begin(), steps.end(),
                                                                  month) == steps.end();
                                             }),
                              reachableMonths.end());
        if (reachableMonths.empty()) {
            return false;
        }
    }
    if (!monthDays.empty() && !someDayExists(monthDays, reachableMonths)) {
        return false;
    }
    if (rule.freq == ICAL_DAILY_RECURRENCE &&
        std::any_of(monthDays.begin(), monthDays.end(), [](int day) { return day < 0; })) {
        // Counted from the end of the month these never match when a day is tested on its own.
        return false;
    }
    if (rule.freq == ICAL_DAILY_RECURRENCE && !days.empty() && interval % 7 == 0) {
        const int weekday = static_cast<int>(date::weekday{day}.c_encoding()) + 1;
        if (!intersects(days, {weekday})) {
            return false;
        }
    }
    return true;
}

}  // namespace ravu::ical

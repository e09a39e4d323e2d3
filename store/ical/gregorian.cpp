// The common repetition rules, stepped on plain calendar days.
//
// libical 3.0 takes every step of its recurrence iterator through ICU's calendar, and making an
// iterator opens one: on a large store that was most of what recurrence cost. The shapes here
// are those the store writes and most clients do: DAILY, WEEKLY on weekdays, MONTHLY on days of
// the month or on weekdays of the month (-1FR), and plain YEARLY, each with INTERVAL and COUNT
// or UNTIL. They are stepped on wall-clock days, and a walk begins at the period that holds the
// window instead of stepping through every one before it.
//
// This is not a recurrence engine of our own: for these shapes it must give exactly the starts
// libical's iterator gives (the months a day of the month leaves out, libical's last year), and
// the differential test in tests/gregorian_test.cpp holds it to that. Every other rule stays with
// libical. The one fault of libical's that is not copied is the week a WEEKLY rule's weeks are
// counted from: both paths count them as RFC 5545 does (see `Rule::anchor`).
#include <algorithm>
#include <cstdint>

#include "store/ical/model.h"

namespace ravu::ical {
namespace {

using date::days;

constexpr local_days beyond{date::year{beyondYear} / 1 / 1};
/// Before this ICU's calendar counts Julian days.
constexpr local_days reform{date::year{1583} / 1 / 1};

/// libical's weekday numbers: 1 for Sunday to 7 for Saturday.
int weekdayOf(local_days day) {
    return static_cast<int>(date::weekday{day}.c_encoding()) + 1;
}

/// Months since the year 0, so that steps of up to 32,767 months cannot leave date's range.
long monthIndex(local_days day) {
    const date::year_month_day ymd{day};
    return 12L * static_cast<int>(ymd.year()) + static_cast<long>(unsigned{ymd.month()}) - 1;
}

/// The days of a month a MONTHLY rule names, in order, as libical's month expansion finds them.
std::size_t monthDays(const Gregorian& rule, long month, std::array<local_days, 31>& out) {
    const date::year_month ym{date::year{static_cast<int>(month / 12)},
                              date::month{static_cast<unsigned>(month % 12 + 1)}};
    const local_days first{ym / 1};
    const int length = static_cast<int>(unsigned{(ym / date::last).day()});
    std::uint32_t chosen = 0;  // bit d: day d
    for (const int value : rule.days) {
        if (!rule.weekdays) {
            // A day the month does not have is left out, not moved.
            const int day = value > 0 ? value : length + 1 + value;
            chosen |= day >= 1 && day <= length ? 1U << day : 0U;
            continue;
        }
        const auto code = static_cast<short>(value);
        const int firstMatch =
            1 + (icalrecurrencetype_day_day_of_week(code) - weekdayOf(first) + 7) % 7;
        const int lastMatch = firstMatch + (length - firstMatch) / 7 * 7;
        const int position = icalrecurrencetype_day_position(code);
        if (position == 0) {
            for (int day = firstMatch; day <= length; day += 7) {
                chosen |= 1U << day;
            }
            continue;
        }
        const int day =
            position > 0 ? firstMatch + (position - 1) * 7 : lastMatch + (position + 1) * 7;
        if (day >= firstMatch && day <= lastMatch) {
            chosen |= 1U << day;
        }
    }
    std::size_t size = 0;
    for (int day = 1; day <= length; ++day) {
        if ((chosen & (1U << day)) != 0) {
            out[size++] = first + days{day - 1};
        }
    }
    return size;
}

}  // namespace

std::optional<Gregorian> gregorianOf(const icalrecurrencetype& rule, local_seconds start) {
    const local_days day = date::floor<days>(start);
    const auto byDay = valuesOf(rule.by_day);
    const auto byMonthDay = valuesOf(rule.by_month_day);
    const bool otherParts = !valuesOf(rule.by_second).empty() ||
                            !valuesOf(rule.by_minute).empty() || !valuesOf(rule.by_hour).empty() ||
                            !valuesOf(rule.by_year_day).empty() ||
                            !valuesOf(rule.by_week_no).empty() ||
                            !valuesOf(rule.by_month).empty() || !valuesOf(rule.by_set_pos).empty();
    if (otherParts || rule.rscale != nullptr || rule.skip != ICAL_SKIP_OMIT || rule.interval < 1 ||
        day < reform || day >= beyond || rule.week_start < ICAL_SUNDAY_WEEKDAY ||
        rule.week_start > ICAL_SATURDAY_WEEKDAY) {
        return std::nullopt;
    }
    Gregorian gregorian;
    gregorian.interval = rule.interval;
    gregorian.start = start;
    gregorian.time = start - local_seconds{day};
    const date::year_month_day ymd{day};
    switch (rule.freq) {
        case ICAL_DAILY_RECURRENCE:
            if (!byDay.empty() || !byMonthDay.empty()) {
                return std::nullopt;
            }
            gregorian.unit = Gregorian::Unit::day;
            gregorian.first = day;
            break;
        case ICAL_WEEKLY_RECURRENCE: {
            if (!byMonthDay.empty()) {
                return std::nullopt;
            }
            // The store has made each BYDAY a plain weekday, listed once.
            const int weekStart = rule.week_start;
            const auto inWeek = [&](int weekday) { return (weekday - weekStart + 7) % 7; };
            const int own = weekdayOf(day);
            std::vector<int> weekdays;
            for (const int code : byDay) {
                weekdays.push_back(icalrecurrencetype_day_day_of_week(static_cast<short>(code)));
            }
            if (weekdays.empty()) {
                weekdays.push_back(own);
            }
            // The weeks begin on WKST and are counted from the one that holds DTSTART; its days
            // before DTSTART are passed over.
            gregorian.unit = Gregorian::Unit::week;
            gregorian.first = day - days{inWeek(own)};
            for (const int weekday : weekdays) {
                gregorian.days.push_back(inWeek(weekday));
            }
            std::sort(gregorian.days.begin(), gregorian.days.end());
            break;
        }
        case ICAL_MONTHLY_RECURRENCE:
            if (!byDay.empty() && !byMonthDay.empty()) {
                return std::nullopt;
            }
            gregorian.unit = Gregorian::Unit::month;
            gregorian.first = local_days{ymd.year() / ymd.month() / 1};
            gregorian.weekdays = !byDay.empty();
            // Without either part libical takes DTSTART's day of the month.
            gregorian.days = !byDay.empty() ? byDay
                             : !byMonthDay.empty()
                                 ? byMonthDay
                                 : std::vector<int>{static_cast<int>(unsigned{ymd.day()})};
            break;
        case ICAL_YEARLY_RECURRENCE:
            if (!byDay.empty() || !byMonthDay.empty()) {
                return std::nullopt;
            }
            gregorian.unit = Gregorian::Unit::year;
            gregorian.first = local_days{ymd.year() / 1 / 1};
            break;
        default:
            return std::nullopt;
    }
    // libical refuses a rule whose first start lies past its last year (or that names no day
    // that comes before it); it is left to say so.
    if (!GregorianWalk{gregorian, start}.next()) {
        return std::nullopt;
    }
    return gregorian;
}

GregorianWalk::GregorianWalk(const Gregorian& rule, local_seconds from)
    : rule_(&rule), from_(std::clamp(from, rule.start, local_seconds{beyond})), period_(0) {
    // Every period before the one that holds `from` ends before it.
    const local_days day = date::floor<days>(from_);
    switch (rule.unit) {
        case Gregorian::Unit::day:
            period_ = (day - rule.first).count() / rule.interval;
            break;
        case Gregorian::Unit::week:
            period_ = (day - rule.first).count() / (7L * rule.interval);
            break;
        case Gregorian::Unit::month:
            period_ = (monthIndex(day) - monthIndex(rule.first)) / rule.interval;
            break;
        case Gregorian::Unit::year:
            period_ = (monthIndex(day) / 12 - monthIndex(rule.first) / 12) / rule.interval;
            break;
    }
    period_ = std::max(period_, 0L);
}

bool GregorianWalk::fill() {
    const Gregorian& rule = *rule_;
    const long step = period_++ * rule.interval;
    size_ = 0;
    at_ = 0;
    switch (rule.unit) {
        case Gregorian::Unit::day:
            days_[size_++] = rule.first + days{step};
            break;
        case Gregorian::Unit::week:
            for (const int offset : rule.days) {
                days_[size_++] = rule.first + days{7 * step + offset};
            }
            break;
        case Gregorian::Unit::month: {
            const long month = monthIndex(rule.first) + step;
            if (month >= 12L * beyondYear) {
                return false;
            }
            size_ = monthDays(rule, month, days_);
            break;
        }
        case Gregorian::Unit::year: {
            const long year = monthIndex(rule.first) / 12 + step;
            if (year >= beyondYear) {
                return false;
            }
            // February 29 only in leap years.
            const date::year_month_day ymd{date::floor<days>(rule.start)};
            const date::year_month_day there{date::year{static_cast<int>(year)}, ymd.month(),
                                             ymd.day()};
            if (there.ok()) {
                days_[size_++] = local_days{there};
            }
            break;
        }
    }
    return size_ == 0 || days_[0] < beyond;
}

std::optional<local_seconds> GregorianWalk::next() {
    while (!ended_) {
        if (at_ == size_) {
            ended_ = !fill();
            continue;
        }
        const local_seconds start = local_seconds{days_[at_]} + rule_->time;
        ended_ = days_[at_++] >= beyond;
        if (!ended_ && start >= from_) {
            return start;
        }
    }
    return std::nullopt;
}

}  // namespace ravu::ical

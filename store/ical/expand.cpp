// The one recurrence expander: libical's iterator, or for the common shapes the Gregorian path
// held to it (gregorian.cpp), or for rules finer than a day the clock path (clock.cpp), gives the
// starts of each rule; DTSTART, RDATEs, EXDATEs, overrides
// and the lengths are added here. Queries, look-ups and the edits that ask whether a series still
// has an occurrence all go through it.
//
// libical's own occurrence walker (icalcomponent_foreach_recurrence) is not used: it ignores
// overrides, gives nothing for an open end, makes all-day events two days long and drops an
// event of no length that starts right at the window's start.
#include <algorithm>

#include "store/ical/model.h"

namespace ravu::ical {
namespace {

using namespace std::chrono_literals;
using std::chrono::seconds;

/// Iterator steps the rules of one item may take for one window. Far more than any real series
/// needs (a rule every minute over a year is about half of it); the occurrences found up to it
/// are kept.
constexpr long maxSteps = 1'000'000;

struct Start {
    local_seconds wall;  ///< in the series' zone
    Instant start;
    std::optional<Instant> end;  ///< an RDATE period's own end
};

/// The length of one step of a rule finer than a day.
std::optional<seconds> stepOf(const icalrecurrencetype& rule) {
    switch (rule.freq) {
        case ICAL_SECONDLY_RECURRENCE:
            return seconds{rule.interval};
        case ICAL_MINUTELY_RECURRENCE:
            return std::chrono::minutes{rule.interval};
        case ICAL_HOURLY_RECURRENCE:
            return std::chrono::hours{rule.interval};
        default:
            return std::nullopt;
    }
}

/// One rule's starts in order, from the first that can reach the window on: the clock path's,
/// the Gregorian path's, or libical's iterator's. A rule is walked once a window, and never
/// restarted.
struct Walk {
    std::optional<ClockWalk> clock;
    std::optional<GregorianWalk> gregorian;
    Iterator iterator;

    std::optional<local_seconds> next(long& steps) {
        if (clock) {
            return clock->next(steps);
        }
        if (gregorian) {
            return gregorian->next();
        }
        return iterator ? wallOf(icalrecur_iterator_next(iterator.get())) : std::nullopt;
    }
};

/// The rule's starts, skipping where it safely can those that lie before `earliest`. A rule with
/// COUNT is walked from DTSTART, since every start before the window counts.
Walk walkFrom(const Rule& rule, const ReadEvent& master, local_seconds earliest, Engine engine) {
    const bool allDay = master.event.allDay;
    const bool skip = rule.count == 0 && earliest > master.wall;
    Walk walk;
    const bool fast = engine == Engine::gregorianWhereTaken || !rule.libicalTakes;
    if (rule.clock && fast) {
        walk.clock.emplace(*rule.clock, skip ? earliest : master.wall);
        return walk;
    }
    if (rule.gregorian && fast) {
        // libical compares the dates alone of all-day starts.
        const local_seconds from = allDay ? date::floor<date::days>(earliest) : earliest;
        walk.gregorian.emplace(*rule.gregorian, skip ? from : master.wall);
        return walk;
    }
    local_seconds first = rule.anchor;
    auto step = stepOf(rule.rule);
    if (rule.rule.freq == ICAL_WEEKLY_RECURRENCE && rule.rule.interval > 1) {
        step = date::days{7} * rule.rule.interval;
    }
    if (skip && step && earliest > first) {
        // libical's set_start picks wrong instants for these rules when INTERVAL > 1 (for a
        // WEEKLY one, the wrong weeks). Moving the start by whole periods keeps every later
        // instant, and the BY parts only look at the clock and the calendar, not at where the
        // iterator started.
        first += (earliest - first) / *step * *step;
    }
    walk.iterator = first == rule.anchor && rule.probe
                        ? std::move(rule.probe)
                        : Iterator{icalrecur_iterator_new(rule.rule, icalTime(first, allDay))};
    if (walk.iterator && skip && !step) {
        // set_start checks libical's error state, which earlier calls may have left set. It fails
        // only where no start lies at or after `earliest` before libical's last year.
        icalerror_clear_errno();
        if (icalrecur_iterator_set_start(walk.iterator.get(), icalTime(earliest, allDay)) == 0) {
            walk.iterator.reset();
        }
    }
    return walk;
}

/// Adds the first `limit` starts of one rule whose occurrences overlap the window, spending the
/// item's `steps`. False when it stopped at either before the rule's last start in the window.
bool expandRule(const Model& model, const Rule& rule, Instant windowStart, Instant windowEnd,
                std::size_t limit, Engine engine, long& steps, std::vector<Start>& starts) {
    const TimeZone& user = *model.user;
    const ReadEvent& master = *model.master;
    // No occurrence that starts before this reaches the window: the longest length, and two
    // days to spare for the offset of any zone against UTC.
    const auto reach = master.nominal + date::ceil<date::days>(master.exact) + date::days{2};
    const local_seconds earliest{date::floor<seconds>(windowStart).time_since_epoch() - reach};
    if ((rule.until && *rule.until < earliest) || *master.event.startDate >= windowEnd) {
        return true;
    }
    Walk walk = walkFrom(rule, master, earliest, engine);
    if (!walk.clock && !walk.gregorian && !walk.iterator) {
        return true;  // no start left, or libical took no iterator for the rule
    }
    // DTSTART is the first instance and counts towards COUNT even when the rule does not
    // produce it; the rule's own starts then count from the second on.
    std::optional<long> count;
    long produced = 0;
    std::size_t added = 0;
    for (;;) {
        if (steps-- <= 0 || added == limit) {
            return false;
        }
        const auto wall = walk.next(steps);
        if (!wall) {
            if (steps <= 0) {
                return false;
            }
            break;
        }
        if (rule.until && *wall > *rule.until) {
            break;
        }
        if (*wall < master.wall) {
            continue;  // libical started on an earlier day of DTSTART's week
        }
        if (rule.count > 0 && !count) {
            count = *wall == master.wall ? rule.count : rule.count - 1;
        }
        if (count && produced++ >= *count) {
            break;
        }
        const Instant start = master.form.toInstant(*wall, user);
        if (start >= windowEnd) {
            break;
        }
        if (overlaps(start, endOf(master, *wall, start, user), windowStart, windowEnd)) {
            starts.push_back(Start{*wall, start, std::nullopt});
            ++added;
        }
    }
    return true;
}

/// The series' first `limit` starts whose occurrences overlap the window, before exclusions and
/// overrides, in order and each once. False when there may be more.
bool seriesStarts(const Model& model, Instant windowStart, Instant windowEnd, std::size_t limit,
                  Engine engine, std::vector<Start>& starts) {
    const ReadEvent& master = *model.master;
    if (overlaps(*master.event.startDate, *master.event.endDate, windowStart, windowEnd)) {
        starts.push_back(Start{master.wall, *master.event.startDate, std::nullopt});
    }
    for (const ExtraStart& extra : model.extraStarts) {
        starts.push_back(Start{extra.wall, extra.start, extra.end});
    }
    bool complete = true;
    long steps = maxSteps;
    for (const Rule& rule : model.rules) {
        complete &= expandRule(model, rule, windowStart, windowEnd, limit, engine, steps, starts);
    }
    // RDATEs and rules may name the same start; it is one occurrence.
    std::stable_sort(starts.begin(), starts.end(),
                     [](const Start& a, const Start& b) { return a.start < b.start; });
    starts.erase(std::unique(starts.begin(), starts.end(),
                             [&](const Start& a, const Start& b) {
                                 return model.keyOf(a.wall, a.start) ==
                                        model.keyOf(b.wall, b.start);
                             }),
                 starts.end());
    if (starts.size() > limit) {
        starts.resize(limit);
        complete = false;
    }
    return complete;
}

bool isExcluded(const Model& model, Instant key, local_seconds wall) {
    return std::binary_search(model.excluded.begin(), model.excluded.end(), key) ||
           (!model.allDay() &&
            std::binary_search(model.excludedDays.begin(), model.excludedDays.end(),
                               date::floor<date::days>(wall)));
}

bool isOverridden(const Model& model, Instant key) {
    return std::any_of(model.overrides.begin(), model.overrides.end(),
                       [&](const ReadEvent& override) { return override.key == key; });
}

}  // namespace

bool occurrences(const Model& model, Instant windowStart, Instant windowEnd, std::size_t limit,
                 std::vector<Event>& found, Engine engine) {
    // An override stands for its occurrence wherever the series would have put it, and wherever
    // it has moved it to; an EXDATE of the same occurrence, or STATUS:CANCELLED, removes it.
    for (const ReadEvent& override : model.overrides) {
        if (!override.cancelled &&
            !std::binary_search(model.excluded.begin(), model.excluded.end(), *override.key) &&
            overlaps(*override.event.startDate, *override.event.endDate, windowStart, windowEnd)) {
            found.push_back(override.event);
        }
    }
    if (!model.master) {
        return true;
    }
    const ReadEvent& master = *model.master;
    if (!model.repeats()) {
        if (!isOverridden(model, model.keyOf(master.wall, *master.event.startDate)) &&
            overlaps(*master.event.startDate, *master.event.endDate, windowStart, windowEnd)) {
            found.push_back(master.event);
        }
        return true;
    }
    std::vector<Start> starts;
    const bool complete = seriesStarts(model, windowStart, windowEnd, limit, engine, starts);
    for (const Start& start : starts) {
        const Instant key = model.keyOf(start.wall, start.start);
        if (isOverridden(model, key) || isExcluded(model, key, start.wall)) {
            continue;
        }
        const Instant end =
            start.end ? *start.end : endOf(master, start.wall, start.start, *model.user);
        if (!overlaps(start.start, end, windowStart, windowEnd)) {
            continue;
        }
        Event& occurrence = found.emplace_back(master.event);
        occurrence.startDate = start.start;
        occurrence.endDate = end;
        occurrence.occurrenceDate = start.start;
    }
    return complete;
}

Answer namesOccurrence(const Model& model, Instant key) {
    if (!model.master) {
        return Answer::unknown;
    }
    // The occurrence of an all-day key starts at its local midnight; a day either side covers
    // any zone. A timed key is the start itself.
    const Instant from = key - date::days{2};
    const Instant to = key + date::days{2};
    std::vector<Start> starts;
    const bool complete =
        seriesStarts(model, from, to, maxOccurrences, Engine::gregorianWhereTaken, starts);
    const bool found = std::any_of(starts.begin(), starts.end(), [&](const Start& start) {
        return model.keyOf(start.wall, start.start) == key;
    });
    return found ? Answer::yes : complete ? Answer::no : Answer::unknown;
}

}  // namespace ravu::ical

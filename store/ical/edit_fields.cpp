// Writing the fields a save names into an item's tree: texts, the repetition, and the stamps peers
// rely on; and what the format cannot hold, refused before anything is written.
#include <algorithm>
#include <climits>

#include "convert/text.h"
#include "convert/time.h"
#include "store/ical/edit.h"

namespace ravu::ical {
namespace {

/// libical makes no time value after the year 3000 (it writes 00000000T000000 instead), and
/// RFC 5545 none before the year 1. A time written in a zone can still fall outside on its local
/// date; the item then does not read back, and the save is refused (see `Item::save`).
constexpr date::sys_days earliestDay = date::sys_days{date::year{1} / 1 / 1};
constexpr date::sys_days latestDay = date::sys_days{date::year{3000} / 12 / 31};

/// libical keeps INTERVAL in a `short` and COUNT in an `int`, where 0 means "no COUNT". A value
/// outside these bounds would come back from the file as another rule, or as none, so the save
/// is refused instead.
constexpr std::int64_t maxInterval = SHRT_MAX;
constexpr std::int64_t maxCount = INT_MAX;

bool inRange(Instant instant) {
    return instant >= Instant{earliestDay} && instant < Instant{latestDay + date::days{1}};
}

/// A text property's value, or none to remove it.
bool setText(icalcomponent* component, icalproperty_kind kind,
             const std::optional<std::string>& value) {
    if (!value) {
        return removeAll(component, kind);
    }
    const std::string text = cleanText(*value);
    Property fresh{kind == ICAL_URL_PROPERTY        ? icalproperty_new_url(text.c_str())
                   : kind == ICAL_LOCATION_PROPERTY ? icalproperty_new_location(text.c_str())
                                                    : icalproperty_new_summary(text.c_str())};
    return setProperty(component, std::move(fresh));
}

icalrecurrencetype_frequency frequencyOf(Frequency frequency) {
    switch (frequency) {
        case Frequency::daily:
            return ICAL_DAILY_RECURRENCE;
        case Frequency::weekly:
            return ICAL_WEEKLY_RECURRENCE;
        case Frequency::monthly:
            return ICAL_MONTHLY_RECURRENCE;
        case Frequency::yearly:
            return ICAL_YEARLY_RECURRENCE;
    }
    return ICAL_NO_RECURRENCE;
}

Property ruleProperty(const RecurrenceRule& rule, const Form& start, const TimeZone& user) {
    icalrecurrencetype recurrence;
    icalrecurrencetype_clear(&recurrence);
    recurrence.freq = frequencyOf(rule.frequency);
    recurrence.interval = static_cast<short>(rule.interval);
    std::size_t used = 0;
    for (const Weekday day : rule.daysOfTheWeek) {
        const auto code = static_cast<short>(day);
        // A day named twice would make every such occurrence come twice.
        if (std::find(recurrence.by_day, recurrence.by_day + used, code) ==
            recurrence.by_day + used) {
            recurrence.by_day[used++] = code;
        }
    }
    recurrence.by_day[used] = ICAL_RECURRENCE_ARRAY_MAX;
    if (rule.end) {
        if (const auto* count = std::get_if<OccurrenceCount>(&*rule.end)) {
            recurrence.count = static_cast<int>(count->value);
        } else {
            recurrence.until = untilForm(start).valueFor(std::get<Instant>(*rule.end), user);
        }
    }
    return Property{icalproperty_new_rrule(recurrence)};
}

/// The series' repetition becomes exactly `rules`: every RRULE, RDATE and EXRULE it had goes,
/// so no part of the old repetition that the program does not model lives on unseen.
bool writeRules(icalcomponent*& event, Model& model, const std::vector<RecurrenceRule>& rules) {
    const Form start = startForm(event, model);
    std::vector<Property> fresh;
    for (const RecurrenceRule& rule : rules) {
        fresh.push_back(ruleProperty(rule, start, *model.user));
    }
    const auto existing = propertiesOf(event, ICAL_RRULE_PROPERTY);
    const bool changed = removeWhere(event, [](icalproperty* property) {
        return isKind(property, {ICAL_RDATE_PROPERTY, ICAL_EXRULE_PROPERTY});
    });
    const bool same = existing.size() == fresh.size() &&
                      std::equal(existing.begin(), existing.end(), fresh.begin(),
                                 [](icalproperty* old, const Property& now) {
                                     return valueText(old) == valueText(now.get());
                                 });
    if (same) {
        return changed;
    }
    removeAll(event, ICAL_RRULE_PROPERTY);
    for (Property& property : fresh) {
        icalcomponent_add_property(event, property.release());
    }
    return true;
}

}  // namespace

Component newCalendar() {
    Component calendar{icalcomponent_new_vcalendar()};
    icalcomponent_add_property(calendar.get(), icalproperty_new_version("2.0"));
    icalcomponent_add_property(calendar.get(),
                               icalproperty_new_prodid("-//ravu-calendar//ravu-calendar//EN"));
    return calendar;
}

WriteError checkWritable(const Event& event) {
    if (!event.startDate) {
        return StoreError{"the event has no start date"};
    }
    if (event.endDate && *event.endDate < *event.startDate) {
        return StoreError{"the event's end date lies before its start date"};
    }
    const auto outOfRange = StoreError{"dates before the year 1 or after 3000 cannot be saved"};
    if (!inRange(*event.startDate) || (event.endDate && !inRange(*event.endDate))) {
        return outOfRange;
    }
    if (event.url) {
        const std::string& url = *event.url;
        if (std::any_of(url.begin(), url.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; })) {
            return StoreError{"the event's URL holds a control character"};
        }
        if (cleanText(url) != url) {
            return StoreError{"the event's URL is not valid UTF-8 text"};
        }
    }
    for (const RecurrenceRule& rule : event.recurrenceRules) {
        if (frequencyOf(rule.frequency) == ICAL_NO_RECURRENCE) {
            return StoreError{"the repeat frequency " +
                              std::to_string(static_cast<int>(rule.frequency)) + " is unknown"};
        }
        if (rule.interval < 1 || rule.interval > maxInterval) {
            return StoreError{"a repeat interval of " + std::to_string(rule.interval) +
                              " cannot be saved: it must lie between 1 and " +
                              std::to_string(maxInterval)};
        }
        for (const Weekday day : rule.daysOfTheWeek) {
            if (static_cast<int>(day) < 1 || static_cast<int>(day) > 7) {
                return StoreError{"the day of the week " + std::to_string(static_cast<int>(day)) +
                                  " is unknown"};
            }
        }
        if (!rule.end) {
            continue;
        }
        if (const auto* count = std::get_if<OccurrenceCount>(&*rule.end)) {
            if (count->value < 1 || count->value > maxCount) {
                return StoreError{"a repeat count of " + std::to_string(count->value) +
                                  " cannot be saved: it must lie between 1 and " +
                                  std::to_string(maxCount)};
            }
        } else if (!inRange(std::get<Instant>(*rule.end))) {
            return outOfRange;
        }
    }
    return std::nullopt;
}

bool writeFields(icalcomponent*& event, Model& model, const Event& values, Changes which) {
    bool changed = false;
    if (which.title) {
        changed |= setText(event, ICAL_SUMMARY_PROPERTY, values.title);
    }
    if (which.location) {
        changed |= setText(event, ICAL_LOCATION_PROPERTY, values.location);
    }
    if (which.url) {
        changed |= setText(event, ICAL_URL_PROPERTY, values.url);
    }
    const bool master =
        icalcomponent_get_first_property(event, ICAL_RECURRENCEID_PROPERTY) == nullptr;
    which.recurrence = which.recurrence && master;
    const bool repeating =
        master && (which.recurrence ? !values.recurrenceRules.empty() : repeats(event));
    // A series' times are written again with a new rule, since they may have to take a zone.
    if ((which.times || (which.recurrence && repeating && !values.allDay)) && values.startDate) {
        changed |= writeTimes(event, model, values, repeating);
    }
    if (which.recurrence) {
        changed |= writeRules(event, model, values.recurrenceRules);
    }
    return changed;
}

void touch(icalcomponent* event, Instant now) {
    const icaltimetype stamp = Form{Form::Kind::utc}.valueFor(now, utcZone());
    removeAll(event, ICAL_DTSTAMP_PROPERTY);
    removeAll(event, ICAL_LASTMODIFIED_PROPERTY);
    icalcomponent_add_property(event, icalproperty_new_dtstamp(stamp));
    icalcomponent_add_property(event, icalproperty_new_lastmodified(stamp));
    icalproperty* sequence = icalcomponent_get_first_property(event, ICAL_SEQUENCE_PROPERTY);
    const int old = sequence != nullptr ? std::max(icalproperty_get_sequence(sequence), 0) : 0;
    removeAll(event, ICAL_SEQUENCE_PROPERTY);
    icalcomponent_add_property(event, icalproperty_new_sequence(old < INT_MAX ? old + 1 : old));
}

void stampNew(icalcomponent* event, Instant now) {
    const icaltimetype stamp = Form{Form::Kind::utc}.valueFor(now, utcZone());
    icalcomponent_add_property(event, icalproperty_new_dtstamp(stamp));
    icalcomponent_add_property(event, icalproperty_new_created(stamp));
    icalcomponent_add_property(event, icalproperty_new_lastmodified(stamp));
    icalcomponent_add_property(event, icalproperty_new_sequence(0));
}

}  // namespace ravu::ical

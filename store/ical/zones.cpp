// Which zone a TZID names: the zone database's, also under a vendor's prefix; else the file's own
// VTIMEZONE, when it costs what a real zone does; else a zone nobody knows, read as the user's
// wall clock. The VTIMEZONEs of zones the database knows are cut from the text unread.
#include <mutex>
#include <unordered_map>

#include "convert/time.h"
#include "store/ical/model.h"

namespace ravu::ical {
namespace {

/// Whether a zone defined in the file costs no more than a real zone. libical works out a zone's
/// offsets by expanding every observance from its start to the year asked for: an observance
/// that repeats every second from 1601, or twenty thousand observances, take minutes and
/// gigabytes. Real zones change their clocks at most a few times a year.
bool boundedZone(icalcomponent* vtimezone) {
    constexpr int maxObservances = 32;
    constexpr int maxDates = 256;
    constexpr int earliestYear = 1600;
    int observances = 0;
    int dates = 0;
    for (icalcomponent* part = icalcomponent_get_first_component(vtimezone, ICAL_ANY_COMPONENT);
         part != nullptr; part = icalcomponent_get_next_component(vtimezone, ICAL_ANY_COMPONENT)) {
        if (++observances > maxObservances) {
            return false;
        }
        icalproperty* start = icalcomponent_get_first_property(part, ICAL_DTSTART_PROPERTY);
        const auto value = start ? timeOf(start) : std::nullopt;
        const auto wall = value ? wallOf(*value) : std::nullopt;
        if (!wall || date::year_month_day{date::floor<date::days>(*wall)}.year() <
                         date::year{earliestYear}) {
            return false;
        }
        for (icalproperty* rule : propertiesOf(part, ICAL_RRULE_PROPERTY)) {
            const icalrecurrencetype recurrence = icalproperty_get_rrule(rule);
            if (recurrence.freq != ICAL_YEARLY_RECURRENCE || !expandable(recurrence, *wall)) {
                return false;
            }
        }
        dates += icalcomponent_count_properties(part, ICAL_RDATE_PROPERTY);
        if (dates > maxDates) {
            return false;
        }
    }
    return true;
}

/// The item's own copy of the file's VTIMEZONE of that TZID, so that the zone outlives the
/// parsed file. Looking among the file's VTIMEZONEs opens no file; libical's built-in zones
/// would (a TZID of "../../x" names a path there), so they are never asked.
icaltimezone* fileZone(Model& model, const std::string& tzid) {
    for (const auto& [name, zone] : model.fileZones) {
        if (name == tzid) {
            return zone.get();
        }
    }
    if (!model.root) {
        return nullptr;
    }
    icaltimezone* found = icalcomponent_get_timezone(model.root.get(), tzid.c_str());
    icalcomponent* vtimezone = found ? icaltimezone_get_component(found) : nullptr;
    if (vtimezone == nullptr) {
        return nullptr;
    }
    if (!boundedZone(vtimezone)) {
        model.notes.push_back("its time zone \"" + tzid +
                              "\" cannot be used; its times are taken in the user's zone");
        model.fileZones.emplace_back(tzid, nullptr);  // refused once, told once
        return nullptr;
    }
    OwnedZone zone{icaltimezone_new()};
    Component copy{icalcomponent_new_clone(vtimezone)};
    if (!zone || !copy || icaltimezone_set_component(zone.get(), copy.get()) == 0) {
        return nullptr;
    }
    copy.release();  // the zone owns it now
    return model.fileZones.emplace_back(tzid, std::move(zone)).second.get();
}

}  // namespace

const TimeZone* systemZone(std::string_view tzid, std::string* name) {
    // Items of one store name the same few zones thousands of times; a name the database does
    // not know costs an exception in the date library, so every answer is kept.
    struct Known {
        const TimeZone* zone;
        std::string name;
    };
    static std::mutex guard;
    static std::unordered_map<std::string, Known> known;
    const std::lock_guard lock{guard};
    auto [entry, fresh] = known.try_emplace(std::string{tzid}, Known{nullptr, {}});
    if (fresh) {
        Known& found = entry->second;
        if (const TimeZone* zone = findZone(tzid)) {
            found = Known{zone, std::string{tzid}};
        } else if (tzid.starts_with('/')) {
            for (std::size_t slash = tzid.find('/', 1); slash != std::string_view::npos;
                 slash = tzid.find('/', slash + 1)) {
                const std::string_view tail = tzid.substr(slash + 1);
                if (const TimeZone* zone = findZone(tail)) {
                    found = Known{zone, std::string{tail}};
                    break;
                }
            }
        }
    }
    if (name != nullptr && entry->second.zone != nullptr) {
        *name = entry->second.name;
    }
    return entry->second.zone;
}

Form formOf(icalproperty* property, const icaltimetype& value, Model& model, const Form& fallback) {
    if (value.is_date) {
        return Form{Form::Kind::date};
    }
    if (icaltime_is_utc(value)) {
        return Form{Form::Kind::utc};
    }
    std::string tzid = tzidOf(property);
    if (tzid.empty()) {
        return fallback;
    }
    if (const TimeZone* system = systemZone(tzid)) {
        return Form{Form::Kind::zoned, std::move(tzid), system, nullptr};
    }
    if (icaltimezone* own = fileZone(model, tzid)) {
        return Form{Form::Kind::zoned, std::move(tzid), nullptr, own};
    }
    // A zone nobody defines is read as the user's wall clock. A name that is not even of the
    // zone database's form is not kept either, so that no write ever repeats it.
    if (!isZoneName(tzid)) {
        return Form{Form::Kind::floating};
    }
    return Form{Form::Kind::zoned, std::move(tzid), nullptr, nullptr};
}

std::string withoutKnownZones(std::string text) {
    static constexpr std::string_view begin = "BEGIN:VTIMEZONE";
    static constexpr std::string_view end = "\nEND:VTIMEZONE";
    static constexpr std::string_view tzid = "\nTZID:";
    std::size_t from = 0;
    for (std::size_t start; (start = text.find(begin, from)) != std::string::npos;) {
        const std::size_t stop = text.find(end, start);
        if (stop == std::string::npos) {
            break;
        }
        const std::size_t newline = text.find('\n', stop + 1);
        const std::size_t after = newline == std::string::npos ? text.size() : newline + 1;
        from = after;
        const std::size_t name = text.find(tzid, start);
        if ((start > 0 && text[start - 1] != '\n') || name == std::string::npos || name > stop) {
            continue;
        }
        // The value ends at a line break no later than the one that opens the END line.
        const std::size_t valueStart = name + tzid.size();
        const std::size_t valueEnd = text.find('\n', valueStart);
        const bool folded = text[valueEnd + 1] == ' ' || text[valueEnd + 1] == '\t';
        std::string_view value{text.data() + valueStart, valueEnd - valueStart};
        if (value.ends_with('\r')) {
            value.remove_suffix(1);
        }
        if (!folded && systemZone(value) != nullptr) {
            text.erase(start, after - start);
            from = start;
        }
    }
    return text;
}

}  // namespace ravu::ical

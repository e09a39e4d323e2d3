#include "catalogue/catalogue.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <map>

#include "store/access.h"

namespace ravu {
namespace {

std::string_view sourceTypeWord(const std::optional<Source>& source) {
    if (!source) {
        return "other";
    }
    switch (source->type) {
        case SourceType::local:
            return "local";
        case SourceType::exchange:
            return "exchange";
        case SourceType::calDAV:
            return "caldav";
        case SourceType::subscribed:
            return "subscribed";
        case SourceType::birthdays:
            return "birthdays";
        case SourceType::mobileMe:
        case SourceType::other:
            break;
    }
    // Any value outside the enumeration as well: the host knows only these words.
    return "other";
}

/// The channel value of one colour component: rounded to nearest, halves away from zero, and
/// not clamped, so 2.0 gives 510. None for a component that is negative or not a number: the
/// colour text would otherwise show the wrap-around of a negative number ("FFFFFF81"), which
/// no host could read back as a colour. None too for a channel that "%X" cannot print.
std::optional<unsigned> channel(double component) {
    if (!std::isfinite(component) || component < 0.0) {
        return std::nullopt;
    }
    const double value = std::round(component * 255.0);
    if (value > static_cast<double>(std::numeric_limits<unsigned>::max())) {
        return std::nullopt;
    }
    return static_cast<unsigned>(value);
}

}  // namespace

std::string logicalKey(const Calendar& calendar) {
    const std::string_view word = sourceTypeWord(calendar.source);
    const std::string_view sourceTitle =
        calendar.source ? std::string_view{calendar.source->title} : std::string_view{};
    std::string key;
    key.reserve(word.size() + sourceTitle.size() + calendar.title.size() + 2);
    key.append(word).append("|").append(sourceTitle).append("|").append(calendar.title);
    return key;
}

std::optional<std::string> hex(const std::optional<std::vector<double>>& color) {
    if (!color || color->size() < 3) {
        return std::nullopt;
    }
    const auto red = channel((*color)[0]);
    const auto green = channel((*color)[1]);
    const auto blue = channel((*color)[2]);
    if (!red || !green || !blue) {
        return std::nullopt;
    }
    char text[1 + 3 * 8 + 1];
    const int length = std::snprintf(text, sizeof text, "#%02X%02X%02X", *red, *green, *blue);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof text) {
        return std::nullopt;
    }
    return std::string{text, static_cast<std::size_t>(length)};
}

Result<std::vector<Calendar>> uniqueCalendars(Context& context, Listing listing) {
    auto listed = context.store.calendars(listing);
    if (!listed) {
        return listed;
    }
    std::vector<Calendar>& calendars = *listed;
    if (calendars.empty()) {
        return listed;
    }

    // The identifier decides which of several calendars on one key is kept, not the store's
    // order, so that every run keeps the same one whatever order the store lists them in.
    // std::string compares bytes as unsigned, which for UTF-8 is code point order.
    std::vector<std::string> keys;
    keys.reserve(calendars.size());
    std::map<std::string, std::string_view, std::less<>> chosen;
    for (const Calendar& calendar : calendars) {
        keys.push_back(logicalKey(calendar));
        const auto [it, inserted] = chosen.try_emplace(keys.back(), calendar.identifier);
        if (!inserted && calendar.identifier < it->second) {
            it->second = calendar.identifier;
        }
    }

    std::vector<bool> kept(calendars.size());
    for (std::size_t i = 0; i < calendars.size(); ++i) {
        kept[i] = chosen.find(keys[i])->second == calendars[i].identifier;
        if (!kept[i]) {
            // One write per line, so that lines of concurrent runs do not interleave.
            context.diagnostics << "ravu-calendar: skipping calendar with a duplicate identity: " +
                                       calendars[i].title + "\n";
        }
    }
    context.diagnostics.flush();

    std::vector<Calendar> unique;
    for (std::size_t i = 0; i < calendars.size(); ++i) {
        if (kept[i]) {
            unique.push_back(std::move(calendars[i]));
        }
    }
    return unique;
}

Result<Calendar> firstWritableCalendar(Context& context, std::string_view key) {
    auto calendars = uniqueCalendars(context, Listing::names);
    if (!calendars) {
        return calendars.error();
    }
    for (Calendar& calendar : *calendars) {
        if (logicalKey(calendar) != key) {
            continue;
        }
        // Only the calendar kept for the key is asked, and only it is opened.
        WriteError refused = calendar.allowsContentModifications
                                 ? context.store.calendarTakesChanges(calendar.identifier)
                                 : StoreError{"calendar is read-only", ErrorKind::readOnly};
        if (refused) {
            return std::move(*refused);
        }
        return std::move(calendar);
    }
    return StoreError{"no calendar has the key", ErrorKind::gone};
}

Json cmdCalendars(Context& context) {
    Json entries = Json::array();
    if (!hasAccess(context.store)) {
        return Json{{"calendars", std::move(entries)}};
    }
    // A store that cannot list its calendars tells why itself.
    const auto calendars = uniqueCalendars(context, Listing::complete);
    if (!calendars) {
        return Json{{"calendars", std::move(entries)}};
    }
    for (const Calendar& calendar : *calendars) {
        Json entry{
            {"id", calendar.identifier},
            {"logicalKey", logicalKey(calendar)},
            {"title", calendar.title},
            {"sourceTitle", calendar.source ? calendar.source->title : std::string{"Calendar"}},
            {"writable", calendar.allowsContentModifications},
        };
        if (auto color = hex(calendar.color)) {
            entry["colorHex"] = std::move(*color);
        }
        entries.push_back(std::move(entry));
    }
    return Json{{"calendars", std::move(entries)}};
}

}  // namespace ravu

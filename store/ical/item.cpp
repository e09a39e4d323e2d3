#include "store/ical/item.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "store/ical/edit.h"

namespace ravu::ical {
namespace {

using std::chrono::seconds;

/// Whether no occurrence of the series comes before this one: from there on is all of it.
bool isFirstOccurrence(const Model& model, Instant occurrence) {
    if (!model.master || !model.master->event.startDate) {
        return true;
    }
    const Instant from = std::min(*model.master->event.startDate, occurrence) - date::days{2};
    // Cut short or not, what was found are the earliest: one before it is enough to know.
    std::vector<Event> earlier;
    occurrences(model, from, occurrence, maxOccurrences, earlier);
    return std::none_of(earlier.begin(), earlier.end(), [&](const Event& other) {
        return other.occurrenceDate && *other.occurrenceDate < occurrence;
    });
}

/// Whether the series has the occurrence, changed or as it generates it.
bool hasOccurrence(const Model& model, Instant occurrence) {
    const Instant key = model.keyOf(occurrence);
    if (std::any_of(model.overrides.begin(), model.overrides.end(),
                    [&](const ReadEvent& override) { return override.key == key; })) {
        return true;
    }
    std::vector<Event> found;
    occurrences(model, occurrence, occurrence + seconds{1}, maxOccurrences, found);
    return std::any_of(found.begin(), found.end(), [&](const Event& candidate) {
        return candidate.occurrenceDate == occurrence;
    });
}

StoreError withoutText(const Model& model) {
    return StoreError{model.placement.label +
                      " was read for a query, not for a change; it was left unchanged"};
}

/// An item written so that it could not be read again would vanish from every later run.
StoreError wouldNotReadBack() {
    return StoreError{"the event cannot be saved: it would not read back as it was meant"};
}

StoreError holdsUnreadable(const std::string& label) {
    return StoreError{label + " holds values this program cannot read; it was left unchanged"};
}

/// The item goes whole, unless its file holds components of other UIDs too: those are not this
/// event's, and stay.
EditResult removeItem(Model& model) {
    icalcomponent* root = model.root.get();
    icalcomponent* master = masterOf(root);
    const std::string uid =
        uidOf(master ? master : icalcomponent_get_first_component(root, ICAL_VEVENT_COMPONENT));
    std::vector<icalcomponent*> ours;
    bool others = false;
    for (icalcomponent* part = icalcomponent_get_first_component(root, ICAL_ANY_COMPONENT);
         part != nullptr; part = icalcomponent_get_next_component(root, ICAL_ANY_COMPONENT)) {
        if (icalcomponent_isa(part) == ICAL_VTIMEZONE_COMPONENT) {
            continue;
        }
        if (uidOf(part) == uid) {
            ours.push_back(part);
        } else {
            others = true;
        }
    }
    if (!others) {
        return Outcome::removeWhole;
    }
    if (model.parseErrors > 0) {
        return holdsUnreadable(model.placement.label);
    }
    for (icalcomponent* part : ours) {
        dropComponent(root, part);
    }
    return Outcome::changed;
}

/// Writes the changes of one occurrence into its override, made when it has none yet.
EditResult saveOccurrence(Model& model, icalcomponent* master, const Event& event, Changes changes,
                          Instant now) {
    const Instant occurrence = *event.occurrenceDate;
    if (!hasOccurrence(model, occurrence)) {
        return StoreError{"the occurrence no longer exists"};
    }
    changes.recurrence = false;  // an occurrence has no repetition of its own
    if (icalcomponent* existing = findOverride(model, master, model.keyOf(occurrence))) {
        if (!writeFields(existing, model, event, changes)) {
            return Outcome::unchanged;
        }
        touch(existing, now);
        return Outcome::changed;
    }
    if (changes == Changes{}) {
        return Outcome::unchanged;
    }
    icalcomponent* override = makeOverride(master, model, occurrence).release();
    icalcomponent_add_component(model.root.get(), override);
    changes.times = true;  // the copy still holds the series' first start
    writeFields(override, model, event, changes);
    touch(override, now);
    return Outcome::changed;
}

/// A model of nothing yet, placed in its store.
std::unique_ptr<Model> newModel(Placement placement, const TimeZone& user, Component root) {
    auto model = std::make_unique<Model>();
    model->placement = std::move(placement);
    model->user = &user;
    model->root = std::move(root);
    return model;
}

}  // namespace

bool holdsOnlyTasksOrJournals(std::string_view text) {
    const auto holds = [&](std::string_view line) {
        return std::search(text.begin(), text.end(), line.begin(), line.end(), [](char a, char b) {
                   return std::toupper(static_cast<unsigned char>(a)) == b;
               }) != text.end();
    };
    return holds("BEGIN:VCALENDAR") && !holds("BEGIN:VEVENT") &&
           (holds("BEGIN:VTODO") || holds("BEGIN:VJOURNAL"));
}

Item::Item(std::unique_ptr<Model> model) : model_(std::move(model)) {}
Item::Item(Item&&) noexcept = default;
Item& Item::operator=(Item&&) noexcept = default;
Item::~Item() = default;

std::optional<Item> Item::parse(std::string text, Placement placement, const TimeZone& user,
                                Keep keep) {
    return parse(std::move(text), std::move(placement), user, keep, {});
}

std::optional<Item> Item::parse(std::string text, Placement placement, const TimeZone& user,
                                Keep keep, std::map<std::string, Instant> partsStoredAt) {
    auto root = parseText(std::move(text), keep == Keep::tree);
    if (!root) {
        return std::nullopt;
    }
    auto model = newModel(std::move(placement), user, std::move(*root));
    model->partsStoredAt = std::move(partsStoredAt);
    model->parseErrors = errorCount(model->root.get());
    if (!describe(*model)) {
        return std::nullopt;
    }
    if (keep == Keep::model) {
        model->root.reset();
    }
    return Item{std::move(model)};
}

std::optional<Item> Item::fromComponents(
    const std::vector<ComponentRef>& parts, Placement placement, const TimeZone& user, Keep keep,
    const std::function<ComponentRef(const std::string& tzid)>& zoneOf) {
    quietLibical();
    auto model = newModel(std::move(placement), user, newCalendar());
    icalcomponent* root = model->root.get();
    std::vector<std::string> zones;
    for (const ComponentRef part : parts) {
        icalcomponent* component = part.native();
        if (component == nullptr || icalcomponent_isa(component) != ICAL_VEVENT_COMPONENT) {
            continue;
        }
        icalcomponent_add_component(root, icalcomponent_new_clone(component));
        for (icalproperty* property =
                 icalcomponent_get_first_property(component, ICAL_ANY_PROPERTY);
             property != nullptr;
             property = icalcomponent_get_next_property(component, ICAL_ANY_PROPERTY)) {
            const std::string tzid = tzidOf(property);
            if (tzid.empty() || systemZone(tzid) != nullptr ||
                std::find(zones.begin(), zones.end(), tzid) != zones.end()) {
                continue;
            }
            zones.push_back(tzid);
            if (icalcomponent* zone = zoneOf(tzid).native();
                zone != nullptr && icalcomponent_isa(zone) == ICAL_VTIMEZONE_COMPONENT) {
                icalcomponent_add_component(root, icalcomponent_new_clone(zone));
            }
        }
    }
    model->parseErrors = errorCount(root);
    if (!describe(*model)) {
        return std::nullopt;
    }
    if (keep == Keep::model) {
        model->root.reset();
    }
    return Item{std::move(model)};
}

std::variant<Item, StoreError> Item::create(const Event& event, const std::string& uid,
                                            Placement placement, const TimeZone& user,
                                            Instant now) {
    if (auto error = checkWritable(event)) {
        return *error;
    }
    quietLibical();
    auto model = newModel(std::move(placement), user, newCalendar());
    icalcomponent* vevent = icalcomponent_new_vevent();
    icalcomponent_add_component(model->root.get(), vevent);
    icalcomponent_set_uid(vevent, uid.c_str());
    stampNew(vevent, now);
    writeFields(vevent, *model, event, Changes::all());
    if (!describe(*model)) {
        return wouldNotReadBack();
    }
    return Item{std::move(model)};
}

const Event& Item::event() const {
    return model_->master ? model_->master->event : model_->overrides.front().event;
}

bool Item::repeats() const {
    return model_->repeats();
}

std::size_t Item::gregorianRules() const {
    return static_cast<std::size_t>(std::count_if(
        model_->rules.begin(), model_->rules.end(),
        [](const Rule& rule) { return (rule.gregorian || rule.clock) && rule.libicalTakes; }));
}

const std::vector<std::string>& Item::notes() const {
    return model_->notes;
}

bool Item::occurrences(Instant start, Instant end, std::vector<Event>& found, std::size_t limit,
                       Engine engine) const {
    Model& model = *model_;
    limit = std::min(limit, maxOccurrences);
    // Look-ups ask about a day or two at a time; a series is expanded over a season around such
    // a window once and the later look-ups are answered from that.
    constexpr auto shortWindow = date::days{7};
    constexpr auto season = date::days{90};
    if (!model.repeats() || end - start > shortWindow || engine != Engine::gregorianWhereTaken) {
        return ical::occurrences(model, start, end, limit, found, engine);
    }
    if (!model.memoRange || start < model.memoRange->first || end > model.memoRange->second) {
        const Instant from =
            model.memoRange ? std::min(model.memoRange->first, start - season) : start - season;
        const Instant to =
            model.memoRange ? std::max(model.memoRange->second, end + season) : end + season;
        std::vector<Event> memo;
        if (!ical::occurrences(model, from, to, maxOccurrences, memo)) {
            // Too dense to keep a season of it: the window alone.
            return ical::occurrences(model, start, end, limit, found);
        }
        model.memo = std::move(memo);
        model.memoRange = {from, to};
    }
    std::size_t added = 0;
    for (const Event& occurrence : model.memo) {
        if (overlaps(*occurrence.startDate, *occurrence.endDate, start, end)) {
            if (added++ == limit) {
                return false;
            }
            found.push_back(occurrence);
        }
    }
    return true;
}

EditResult Item::save(const Event& event, Span span, Changes changes, Instant now) {
    if (auto error = checkWritable(event)) {
        return *error;
    }
    Model& model = *model_;
    if (!model.root) {
        return withoutText(model);
    }
    if (model.parseErrors > 0) {
        // libical has already dropped what it could not read: writing the item back would lose it.
        return holdsUnreadable(model.placement.label);
    }
    icalcomponent* calendar = model.root.get();
    icalcomponent* master = masterOf(calendar);
    const bool ofSeries =
        event.occurrenceDate && master != nullptr && model.master && ical::repeats(master);
    if (ofSeries && span == Span::thisEvent) {
        const EditResult result = saveOccurrence(model, master, event, changes, now);
        if (std::holds_alternative<Outcome>(result) &&
            std::get<Outcome>(result) == Outcome::changed && !describe(model)) {
            return wouldNotReadBack();
        }
        return result;
    }
    if (ofSeries && !isFirstOccurrence(model, *event.occurrenceDate)) {
        return StoreError{
            "changing an occurrence together with all later ones is not supported; change the "
            "whole series or this occurrence alone"};
    }
    // The whole item: the series or single event, or in an item of changed occurrences only, the
    // first of them (which is what the item was read as).
    icalcomponent* target =
        master != nullptr && model.master
            ? master
            : icalcomponent_get_first_component(calendar, ICAL_VEVENT_COMPONENT);
    const bool series = target == master;
    changes.recurrence = changes.recurrence && series;
    if (!writeFields(target, model, event, changes)) {
        return Outcome::unchanged;
    }
    if (series && (changes.times || changes.recurrence)) {
        dropStrayExceptions(target, model);
    }
    touch(target, now);
    if (!describe(model)) {
        return wouldNotReadBack();
    }
    return Outcome::changed;
}

EditResult Item::remove(const Event& event, Span span, Instant now) {
    Model& model = *model_;
    if (!model.root) {
        return withoutText(model);
    }
    icalcomponent* master = masterOf(model.root.get());
    const bool ofSeries =
        event.occurrenceDate && master != nullptr && model.master && ical::repeats(master);
    if (!ofSeries ||
        (span == Span::futureEvents && isFirstOccurrence(model, *event.occurrenceDate))) {
        return removeItem(model);
    }
    if (model.parseErrors > 0) {
        return holdsUnreadable(model.placement.label);
    }
    if (span == Span::thisEvent) {
        return excludeOccurrence(master, model, *event.occurrenceDate, now) ? Outcome::changed
                                                                            : Outcome::unchanged;
    }
    endSeriesBefore(master, model, *event.occurrenceDate);
    touch(master, now);
    return Outcome::changed;
}

std::string Item::text() const {
    if (!model_->root) {
        return {};
    }
    char* text = icalcomponent_as_ical_string_r(model_->root.get());
    std::string result = text != nullptr ? text : "";
    std::free(text);
    return result;
}

bool Item::settle(std::optional<Instant> storedAt) {
    model_->placement.storedAt = storedAt;
    const bool readable = model_->root && describe(*model_);
    model_->root.reset();
    return readable;
}

}  // namespace ravu::ical

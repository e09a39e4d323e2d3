// Writing the directory store: saving and removing events and occurrences.
//
// Every write re-reads the item file under the run's lock, checks that it is still the version
// the run read, changes the parsed file in memory and puts it back whole (safe_file.h). What
// the store does not model stays in the file as it was.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <exception>

#include "store/ical_write.h"
#include "store/vdir/vdir_store.h"
#include "store/vdir_internal.h"

namespace ravu {
namespace fs = std::filesystem;
using vdir::ItemName;
using vdir::LoadedItem;

namespace {

Instant systemNow() {
    return date::floor<std::chrono::microseconds>(std::chrono::system_clock::now());
}

StoreError gone() {
    return StoreError{"the event no longer exists"};
}

/// The VEVENT of the series or single event; none in a file of changed occurrences only.
icalcomponent* masterOf(icalcomponent* calendar) {
    for (icalcomponent* event = icalcomponent_get_first_component(calendar, ICAL_VEVENT_COMPONENT);
         event != nullptr;
         event = icalcomponent_get_next_component(calendar, ICAL_VEVENT_COMPONENT)) {
        if (icalcomponent_get_first_property(event, ICAL_RECURRENCEID_PROPERTY) == nullptr) {
            return event;
        }
    }
    return nullptr;
}

ical::Fields fieldsOf(Changes changes) {
    return ical::Fields{changes.title, changes.location, changes.url, changes.times,
                        changes.recurrence};
}

/// The key the reader gives the occurrence (see `LoadedItem::keyOf`).
Instant readerKey(const ical::OccurrenceKey& key) {
    return std::visit([](auto point) { return Instant{point}; }, key);
}

/// Writes the changes of one occurrence into its override, made when it has none yet. Returns
/// whether the file changed.
std::variant<bool, StoreError> saveOccurrence(LoadedItem& item, icalcomponent* master,
                                              const Event& event, Changes changes, Instant now,
                                              const TimeZone& zone) {
    icalcomponent* calendar = item.root.get();
    const Instant occurrence = *event.occurrenceDate;
    const ical::TimeForm form =
        ical::formOf(icalcomponent_get_first_property(master, ICAL_DTSTART_PROPERTY), calendar);
    const ical::OccurrenceKey key = ical::keyOf(occurrence, form, zone);
    const char* uid = icalcomponent_get_uid(master);

    icalcomponent* existing = ical::findOverride(calendar, uid != nullptr ? uid : "", key, zone);
    std::optional<Event> before;
    for (const vdir::ReadEvent& override : item.overrides) {
        if (override.key == readerKey(key)) {
            before = override.event;
        }
    }
    if (!before) {
        // The occurrence as the series generates it.
        std::vector<Event> found;
        if (vdir::occurrences(item, occurrence, occurrence + std::chrono::seconds{1}, zone,
                              found)) {
            for (const Event& candidate : found) {
                if (candidate.occurrenceDate == event.occurrenceDate) {
                    before = candidate;
                }
            }
        }
    }
    if (!before) {
        return StoreError{"the occurrence no longer exists"};
    }
    ical::Fields fields = fieldsOf(changes);
    fields.rules = false;  // an occurrence has no repetition of its own
    if (existing != nullptr) {
        const bool changed = ical::writeFields(existing, calendar, event, fields, zone);
        if (changed) {
            ical::touch(existing, now);
        }
        return changed;
    }
    if (!fields.any()) {
        return false;
    }
    ical::Component override = ical::makeOverride(master, calendar, occurrence, zone);
    fields.times = true;  // the copy still holds the series' first start
    ical::writeFields(override.get(), calendar, event, fields, zone);
    ical::touch(override.get(), now);
    icalcomponent_add_component(calendar, override.release());
    return true;
}

/// Whether no occurrence of the series comes before this one: from there on is all of it.
bool isFirstOccurrence(const LoadedItem& item, Instant occurrence, const TimeZone& zone) {
    if (!item.master || !item.master->event.startDate) {
        return true;
    }
    const Instant from = std::min(*item.master->event.startDate, occurrence) - date::days{2};
    std::vector<Event> earlier;
    if (!vdir::occurrences(item, from, occurrence, zone, earlier)) {
        return false;
    }
    return std::none_of(earlier.begin(), earlier.end(), [&](const Event& other) {
        return other.occurrenceDate && *other.occurrenceDate < occurrence;
    });
}

/// The store reads no item file larger than `maxItemBytes`, so it writes none either: an event
/// it could not read back would vanish from every later snapshot.
WriteError tooLarge(const std::string& text) {
    if (text.size() <= vdir::maxItemBytes) {
        return std::nullopt;
    }
    return StoreError{"the event is too large to be saved: " + std::to_string(text.size()) +
                      " bytes, and the calendar store takes at most " +
                      std::to_string(vdir::maxItemBytes) + " bytes per event"};
}

WriteError takeLock(vdir::WriteState& state) {
    if (state.lockFailure) {
        return state.lockFailure;
    }
    return state.lock.acquire();
}

}  // namespace

WriteError VdirStore::beginChanges() {
    vdir::WriteState& state = writeState();
    if (state.lock.held()) {
        return std::nullopt;
    }
    state.lockFailure = state.lock.acquire();
    // What was read before the lock may have been changed by the run that held it: read again.
    if (!state.lockFailure) {
        *cache_ = vdir::ReadCache{};
    }
    return state.lockFailure;
}

vdir::WriteState& VdirStore::writeState() {
    if (!writes_) {
        writes_ = std::make_unique<vdir::WriteState>(root_);
        writes_->clock = systemNow;
    }
    return *writes_;
}

void VdirStore::setClock(std::function<Instant()> clock) {
    writeState().clock = std::move(clock);
}

Event VdirStore::newEvent() {
    return Event{};
}

WriteError VdirStore::writableCalendar(const vdir::CalendarName& name) const {
    const std::string identifier = name.identifier();
    for (const Calendar& calendar : calendars()) {
        if (calendar.identifier == identifier) {
            if (!calendar.allowsContentModifications) {
                return StoreError{"calendar is read-only"};
            }
            return std::nullopt;
        }
    }
    return StoreError{"the calendar " + identifier + " does not exist"};
}

std::variant<LoadedItem, StoreError> VdirStore::reread(const ItemName& name, bool forChange) {
    if (auto error = takeLock(writeState())) {
        return *error;
    }
    const LoadedItem* seen = loadedItem(name);
    if (seen == nullptr) {
        struct stat info {};
        if (::lstat(name.path(root_).c_str(), &info) == 0) {
            return StoreError{"the event's file " + name.relativePath() + " cannot be read"};
        }
        return gone();
    }
    auto fresh = vdir::loadItem(AT_FDCWD, name.path(root_).string(), name, *zone_);
    if (auto* failure = std::get_if<vdir::LoadFailure>(&fresh)) {
        if (*failure == vdir::LoadFailure::missing) {
            return StoreError{name.relativePath() +
                              " was removed by another program after it was read"};
        }
        return StoreError{name.relativePath() +
                          " was changed by another program after it was read and can no "
                          "longer be read"};
    }
    LoadedItem& item = std::get<LoadedItem>(fresh);
    if (item.stamp != seen->stamp) {
        return StoreError{name.relativePath() +
                          " was changed by another program after it was read; it was not "
                          "overwritten"};
    }
    if (forChange && item.parseErrors > 0) {
        // libical has already dropped what it could not read: writing the file back would lose it.
        return StoreError{name.relativePath() +
                          " holds values this program cannot read; it was left unchanged"};
    }
    return std::move(item);
}

WriteError VdirStore::putBack(LoadedItem& item) {
    const ItemName& name = item.name;
    const fs::path path = name.path(root_);
    const std::string text = ical::serialize(item.root.get());
    if (auto error = tooLarge(text)) {
        return error;
    }
    const Written written = replaceFile(path, text, item.stamp);
    if (const auto* error = std::get_if<StoreError>(&written)) {
        return *error;
    }
    refresh(name);
    return std::nullopt;
}

void VdirStore::refresh(const ItemName& name) {
    // Later queries of this run see what it wrote, and its next save the new version.
    auto reloaded =
        vdir::loadItem(AT_FDCWD, name.path(root_).string(), name, *zone_, vdir::Tree::drop);
    cache_->forget(name.calendar);
    if (auto* item = std::get_if<LoadedItem>(&reloaded)) {
        item->root.reset();
        cache_->items[name.identifier()] = std::make_unique<LoadedItem>(std::move(*item));
    } else {
        cache_->items.erase(name.identifier());
    }
}

WriteError VdirStore::saveEvent(Event& event, Span span, Changes changes) {
    try {
        return event.identifier.empty() ? createEvent(event) : updateEvent(event, span, changes);
    } catch (const std::exception& error) {
        return StoreError{std::string{"the event could not be saved: "} + error.what()};
    }
}

WriteError VdirStore::removeEvent(const Event& event, Span span) {
    try {
        return deleteEvent(event, span);
    } catch (const std::exception& error) {
        return StoreError{std::string{"the event could not be removed: "} + error.what()};
    }
}

WriteError VdirStore::createEvent(Event& event) {
    if (event.calendarId.empty()) {
        return StoreError{"the event belongs to no calendar"};
    }
    const auto calendar = vdir::parseCalendarId(event.calendarId);
    if (!calendar) {
        return StoreError{"the calendar " + event.calendarId + " does not exist"};
    }
    if (auto error = writableCalendar(*calendar)) {
        return error;
    }
    if (auto error = ical::checkWritable(event)) {
        return error;
    }
    vdir::WriteState& state = writeState();
    if (auto error = takeLock(state)) {
        return error;
    }
    const std::string uid = ical::newUid();
    ical::Component file = ical::newCalendar();
    icalcomponent* vevent = icalcomponent_new_vevent();
    icalcomponent_add_component(file.get(), vevent);
    icalcomponent_set_uid(vevent, uid.c_str());
    ical::stampNew(vevent, state.clock());
    ical::writeFields(vevent, file.get(), event, ical::Fields::all(), *zone_);

    const ItemName name{*calendar, uid};
    const std::string text = ical::serialize(file.get());
    if (auto error = tooLarge(text)) {
        return error;
    }
    const Written written = createFile(name.path(root_), text);
    if (const auto* error = std::get_if<StoreError>(&written)) {
        return *error;
    }
    event.identifier = name.identifier();
    cache_->forget(*calendar);  // the folder is listed again, with the new file
    return std::nullopt;
}

WriteError VdirStore::updateEvent(Event& event, Span span, Changes changes) {
    const auto name = vdir::parseItemId(event.identifier);
    if (!name) {
        return gone();
    }
    if (!event.calendarId.empty() && event.calendarId != name->calendar.identifier()) {
        return StoreError{"moving an event to another calendar is not supported"};
    }
    if (auto error = writableCalendar(name->calendar)) {
        return error;
    }
    if (auto error = ical::checkWritable(event)) {
        return error;
    }
    auto reread = this->reread(*name, true);
    if (auto* error = std::get_if<StoreError>(&reread)) {
        return *error;
    }
    LoadedItem& item = std::get<LoadedItem>(reread);
    icalcomponent* calendar = item.root.get();
    icalcomponent* master = masterOf(calendar);
    const Instant now = writeState().clock();

    const bool ofSeries =
        event.occurrenceDate && master != nullptr && item.master && ical::repeats(master);
    if (ofSeries && span == Span::thisEvent) {
        auto changed = saveOccurrence(item, master, event, changes, now, *zone_);
        if (auto* error = std::get_if<StoreError>(&changed)) {
            return *error;
        }
        return std::get<bool>(changed) ? putBack(item) : std::nullopt;
    }
    if (ofSeries && !isFirstOccurrence(item, *event.occurrenceDate, *zone_)) {
        return StoreError{
            "changing an occurrence together with all later ones is not supported; change the "
            "whole series or this occurrence alone"};
    }

    // The whole item: the series or single event, or in a file of changed occurrences only,
    // the first of them (which is what the item was read as).
    icalcomponent* target = master;
    if (target == nullptr || !item.master) {
        if (item.overrides.empty()) {
            return gone();
        }
        target = icalcomponent_get_first_component(calendar, ICAL_VEVENT_COMPONENT);
    }
    ical::Fields fields = fieldsOf(changes);
    fields.rules = fields.rules && target == master;
    bool changed = ical::writeFields(target, calendar, event, fields, *zone_);
    if (changed && target == master && (fields.times || fields.rules)) {
        ical::dropStrayExceptions(calendar, master, *zone_);
    }
    if (!changed) {
        return std::nullopt;
    }
    ical::touch(target, now);
    return putBack(item);
}

WriteError VdirStore::deleteEvent(const Event& event, Span span) {
    const auto name = vdir::parseItemId(event.identifier);
    if (!name) {
        return gone();
    }
    if (auto error = writableCalendar(name->calendar)) {
        return error;
    }
    auto reread = this->reread(*name, false);
    if (auto* error = std::get_if<StoreError>(&reread)) {
        return *error;
    }
    LoadedItem& item = std::get<LoadedItem>(reread);
    icalcomponent* calendar = item.root.get();
    icalcomponent* master = masterOf(calendar);
    const bool ofSeries =
        event.occurrenceDate && master != nullptr && item.master && ical::repeats(master);
    const bool whole = !ofSeries || (span == Span::futureEvents &&
                                     isFirstOccurrence(item, *event.occurrenceDate, *zone_));
    if (whole) {
        if (auto error = removeFile(name->path(root_), item.stamp)) {
            return error;
        }
        cache_->forget(name->calendar);
        cache_->items.erase(name->identifier());
        return std::nullopt;
    }
    if (item.parseErrors > 0) {
        return StoreError{name->relativePath() +
                          " holds values this program cannot read; it was left unchanged"};
    }
    if (span == Span::thisEvent) {
        if (!ical::excludeOccurrence(calendar, master, *event.occurrenceDate, *zone_,
                                     writeState().clock())) {
            return std::nullopt;  // left out already
        }
    } else {
        ical::endSeriesBefore(calendar, master, *event.occurrenceDate, *zone_);
        ical::touch(master, writeState().clock());
    }
    return putBack(item);
}

}  // namespace ravu

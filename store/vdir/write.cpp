// Writing the directory store: saving and removing events and occurrences.
//
// Every write reads the item file again under the run's lock, checks that it is still the
// version the run read, lets the format layer change it and puts it back whole (safe_file.h).
// What the store does not model stays in the file as it was.
#include <fcntl.h>
#include <sys/stat.h>

#include "store/policy.h"
#include "store/uid.h"
#include "store/vdir/items.h"
#include "store/vdir/vdir_store.h"

namespace ravu {
using vdir::ItemName;
using vdir::StoredItem;

namespace {

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
    // What was read before the lock may have been changed by the run that held it: read again,
    // but remember which versions this run saw.
    if (!state.lockFailure) {
        auto seen = std::move(cache_->seen);
        *cache_ = vdir::ReadCache{};
        cache_->seen = std::move(seen);
        if (const auto folders = vdir::calendarFolders(root_)) {
            for (const vdir::CalendarName& folder : *folders) {
                vdir::removeStaleTemporaries(folder.path(root_), clock_->wall());
            }
        }
    }
    return state.lockFailure;
}

bool VdirStore::holdsLock() const {
    return writes_ && writes_->lock.held();
}

vdir::WriteState& VdirStore::writeState() {
    if (!writes_) {
        writes_ = std::make_unique<vdir::WriteState>(root_, *clock_);
    }
    return *writes_;
}

WriteError VdirStore::writableCalendar(const vdir::CalendarName& name) const {
    const std::string identifier = name.identifier();
    const auto listed = calendars(Listing::complete);
    if (!listed) {
        return listed.error();
    }
    for (const Calendar& calendar : *listed) {
        if (calendar.identifier == identifier) {
            if (!calendar.allowsContentModifications) {
                return readOnly();
            }
            return std::nullopt;
        }
    }
    return noSuchCalendar(identifier);
}

WriteError VdirStore::calendarTakesChanges(std::string_view calendarId) const {
    const auto name = vdir::parseCalendarId(calendarId);
    if (!name) {
        return noSuchCalendar(calendarId);
    }
    return writableCalendar(*name);
}

std::variant<StoredItem, StoreError> VdirStore::reread(const ItemName& name) {
    if (auto error = takeLock(writeState())) {
        return *error;
    }
    const StoredItem* seen = storedItem(name);
    if (seen == nullptr) {
        struct stat info {};
        if (::lstat(name.path(root_).c_str(), &info) == 0) {
            return StoreError{"the event's file " + name.relativePath() + " cannot be read"};
        }
        return eventGone();
    }
    auto fresh =
        vdir::loadItem(AT_FDCWD, name.path(root_).string(), name, *zone_, ical::Keep::tree);
    if (auto* failure = std::get_if<vdir::LoadFailure>(&fresh)) {
        if (*failure == vdir::LoadFailure::missing) {
            return StoreError{
                name.relativePath() + " was removed by another program after it was read",
                ErrorKind::changed};
        }
        return StoreError{name.relativePath() +
                              " was changed by another program after it was read and can no "
                              "longer be read",
                          ErrorKind::changed};
    }
    StoredItem& stored = std::get<StoredItem>(fresh);
    const auto first = cache_->seen.find(name.identifier());
    if (stored.stamp != (first != cache_->seen.end() ? first->second : seen->stamp)) {
        return changedElsewhere(name.relativePath(), "overwritten");
    }
    return std::move(stored);
}

WriteError VdirStore::putBack(StoredItem& stored) {
    const ItemName name = stored.name;
    const std::string text = stored.item.text();
    if (auto error = tooLarge(text)) {
        return error;
    }
    const vdir::Written written = vdir::replaceFile(name.path(root_), text, stored.stamp);
    if (const auto* error = std::get_if<StoreError>(&written)) {
        return *error;
    }
    keepWritten(std::move(stored), std::get<vdir::FileStamp>(written));
    return std::nullopt;
}

void VdirStore::keepWritten(StoredItem stored, vdir::FileStamp stamp) {
    // Later queries of this run see what it wrote, and its next save the new version.
    stored.stamp = stamp;
    cache_->seen.insert_or_assign(stored.name.identifier(), stamp);
    const ItemName name = stored.name;
    if (stored.item.settle(stamp.modified())) {
        cache_->keep(name, std::move(stored));
        return;
    }
    // What was written does not read back: the folder is listed again, and the file read from
    // disk and told like any other.
    cache_->items.erase(name.identifier());
    cache_->listings.erase(name.calendar.identifier());
}

WriteError VdirStore::saveEvent(Event& event, Span span, Changes changes) {
    return guarded("saved", [&] {
        return event.identifier.empty() ? createEvent(event) : updateEvent(event, span, changes);
    });
}

WriteError VdirStore::removeEvent(const Event& event, Span span) {
    return guarded("removed", [&] { return deleteEvent(event, span); });
}

WriteError VdirStore::createEvent(Event& event) {
    if (event.calendarId.empty()) {
        return noCalendar();
    }
    const auto calendar = vdir::parseCalendarId(event.calendarId);
    if (!calendar) {
        return noSuchCalendar(event.calendarId);
    }
    if (auto error = writableCalendar(*calendar)) {
        return error;
    }
    vdir::WriteState& state = writeState();
    if (auto error = takeLock(state)) {
        return error;
    }
    const std::string uid = newUid();
    const ItemName name{*calendar, uid};
    auto item = ical::Item::create(
        event, uid, {name.identifier(), calendar->identifier(), std::nullopt, name.relativePath()},
        *zone_, clock_->wall());
    if (const auto* error = std::get_if<StoreError>(&item)) {
        return *error;
    }
    StoredItem stored{name, {}, std::get<ical::Item>(std::move(item))};
    const std::string text = stored.item.text();
    if (auto error = tooLarge(text)) {
        return error;
    }
    const vdir::Written written = vdir::createFile(name.path(root_), text);
    if (const auto* error = std::get_if<StoreError>(&written)) {
        return *error;
    }
    event.identifier = name.identifier();
    keepWritten(std::move(stored), std::get<vdir::FileStamp>(written));
    return std::nullopt;
}

WriteError VdirStore::updateEvent(Event& event, Span span, Changes changes) {
    const auto name = vdir::parseItemId(event.identifier);
    if (!name) {
        return eventGone();
    }
    if (!event.calendarId.empty() && event.calendarId != name->calendar.identifier()) {
        return cannotMove();
    }
    if (auto error = writableCalendar(name->calendar)) {
        return error;
    }
    auto reread = this->reread(*name);
    if (auto* error = std::get_if<StoreError>(&reread)) {
        return *error;
    }
    StoredItem& stored = std::get<StoredItem>(reread);
    const ical::EditResult edit = stored.item.save(event, span, changes, clock_->wall());
    if (const auto* error = std::get_if<StoreError>(&edit)) {
        return *error;
    }
    return std::get<ical::Outcome>(edit) == ical::Outcome::changed ? putBack(stored) : std::nullopt;
}

WriteError VdirStore::deleteEvent(const Event& event, Span span) {
    const auto name = vdir::parseItemId(event.identifier);
    if (!name) {
        return eventGone();
    }
    if (auto error = writableCalendar(name->calendar)) {
        return error;
    }
    auto reread = this->reread(*name);
    if (auto* error = std::get_if<StoreError>(&reread)) {
        return *error;
    }
    StoredItem& stored = std::get<StoredItem>(reread);
    const ical::EditResult edit = stored.item.remove(event, span, clock_->wall());
    if (const auto* error = std::get_if<StoreError>(&edit)) {
        return *error;
    }
    switch (std::get<ical::Outcome>(edit)) {
        case ical::Outcome::unchanged:
            return std::nullopt;
        case ical::Outcome::changed:
            return putBack(stored);
        case ical::Outcome::removeWhole:
            break;
    }
    if (auto error = vdir::removeFile(name->path(root_), stored.stamp)) {
        return error;
    }
    cache_->keep(*name, std::nullopt);
    cache_->seen.erase(name->identifier());
    return std::nullopt;
}

}  // namespace ravu

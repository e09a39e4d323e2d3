// Writing: the format layer makes every edit, and each part it changed goes back to Akonadi as an
// item of its own. A change names the revision the run read, so a peer's change since then is
// never overwritten; and a write counts only once its resource took it (settle.cpp).
#include <Akonadi/ItemCreateJob>
#include <Akonadi/ItemDeleteJob>
#include <Akonadi/ItemFetchJob>
#include <Akonadi/ItemFetchScope>
#include <Akonadi/ItemModifyJob>

#include "store/akonadi/akonadi_store.h"
#include "store/ical/calendar_text.h"
#include "store/policy.h"
#include "store/uid.h"

namespace ravu::akonadi {
namespace {

constexpr const char* eventType = "application/x-vnd.akonadi.calendar.event";

QByteArray bytesOf(const std::string& text) {
    return QByteArray{text.data(), static_cast<int>(text.size())};
}

/// Akonadi's CalDAV resource keeps a changed occurrence on its server only while nothing else
/// of the series changes, and sends a new one alone, which servers refuse.
StoreError noOccurrenceOnCalDav() {
    return StoreError{
        "a single occurrence of a series cannot be changed or removed on a CalDAV calendar "
        "through Akonadi; change the whole series",
        ErrorKind::refused};
}

/// A series change that would drop another client's changed occurrences on the server.
StoreError wouldDropOccurrences() {
    return StoreError{
        "this series has occurrences changed on their own, which Akonadi's CalDAV resource "
        "would drop on the server; it was not changed",
        ErrorKind::refused};
}

}  // namespace

WriteError AkonadiStore::beginChanges() {
    if (!lock_.held()) {
        lockFailure_ = lock_.acquire();
        // What was read before another run could write is read again.
        listings_.clear();
    }
    return lockFailure_;
}

Result<const Collection*> AkonadiStore::writable(const std::string& collection) {
    if (auto error = lockFailure_ ? lockFailure_ : lock_.acquire()) {
        return *error;
    }
    if (auto refused = calendarTakesChanges(collection)) {
        return *refused;
    }
    return this->collection(collection);
}

WriteError AkonadiStore::saveEvent(Event& event, Span span, Changes changes) {
    return guarded("saved", [&] {
        return event.identifier.empty() ? create(event) : edit(event, span, changes);
    });
}

WriteError AkonadiStore::removeEvent(const Event& event, Span span) {
    return guarded("removed", [&] { return edit(event, span, std::nullopt); });
}

WriteError AkonadiStore::create(Event& event) {
    if (event.calendarId.empty()) {
        return noCalendar();
    }
    const auto target = writable(event.calendarId);
    if (!target) {
        return target.error();
    }
    const std::string uid = newUid();
    const std::string identifier = event.calendarId + "/" + uid;
    const auto made =
        ical::Item::create(event, uid, {identifier, event.calendarId, std::nullopt, identifier},
                           *zone_, clock_->wall());
    if (const auto* error = std::get_if<StoreError>(&made)) {
        return *error;
    }
    const std::string text = std::get<ical::Item>(made).text();
    Akonadi::Item part;
    part.setMimeType(eventType);
    part.setPayloadFromData(bytesOf(text));
    auto* job = new Akonadi::ItemCreateJob(part, Akonadi::Collection{std::stoll(event.calendarId)});
    if (auto error = session_.run(job, callEnd())) {
        return error;
    }
    // The job goes with the next event loop.
    const Akonadi::Item created = job->item();
    pending_.push_back(
        {identifier, (*target)->resource, (*target)->kind, created, Pending::created, text, {}});
    if (auto error = settle(identifier)) {
        return error;
    }
    relist(identifier, {created});
    event.identifier = identifier;
    return std::nullopt;
}

WriteError AkonadiStore::edit(const Event& event, Span span, std::optional<Changes> changes) {
    const auto name = splitIdentifier(event.identifier);
    if (!name) {
        return eventGone();
    }
    if (changes && !event.calendarId.empty() && event.calendarId != name->first) {
        return cannotMove();
    }
    const auto target = writable(name->first);
    if (!target) {
        return target.error();
    }
    auto stored = fresh(event.identifier, changes ? "overwritten" : "removed");
    if (!stored) {
        return stored.error();
    }
    const bool ofSeries = event.occurrenceDate && stored->item->repeats();
    if ((*target)->calDav && ofSeries && span == Span::thisEvent) {
        return noOccurrenceOnCalDav();
    }
    const auto before = ical::byOccurrence(stored->item->text());
    const ical::EditResult edited = changes
                                        ? stored->item->save(event, span, *changes, clock_->wall())
                                        : stored->item->remove(event, span, clock_->wall());
    if (const auto* error = std::get_if<StoreError>(&edited)) {
        return *error;
    }
    seen_.erase(event.identifier);
    WriteError error;
    switch (std::get<ical::Outcome>(edited)) {
        case ical::Outcome::unchanged:
            return std::nullopt;
        case ical::Outcome::changed:
            if ((*target)->calDav && before.size() > 1) {
                return wouldDropOccurrences();
            }
            error = writeBack(**target, *stored, before);
            break;
        case ical::Outcome::removeWhole:
            error = removeParts(**target, *stored);
            break;
    }
    // What the item holds once the writes settled: the parts read, less those removed, and those
    // made.
    Akonadi::Item::List parts = stored->parts;
    for (const Pending& write : pending_) {
        if (write.identifier != event.identifier) {
            continue;
        }
        if (write.what == Pending::created) {
            parts.push_back(write.item);
        } else if (write.what == Pending::removed) {
            parts.removeAll(write.item);
        }
    }
    if (!error) {
        error = settle(event.identifier);
    } else {
        // What went through of a write that failed half way is put back.
        std::erase_if(pending_, [&](const Pending& write) {
            if (write.identifier == event.identifier) {
                undo(write);
                return true;
            }
            return false;
        });
    }
    if (error) {
        forget(event.identifier);
        return error;
    }
    relist(event.identifier, parts);
    return std::nullopt;
}

WriteError AkonadiStore::writeBack(const Collection& collection, Stored& stored,
                                   const std::map<std::string, std::string>& before) {
    const auto after = ical::byOccurrence(stored.item->text());
    std::map<std::string, std::size_t> partOf;
    for (std::size_t i = 0; i < stored.texts.size(); ++i) {
        partOf.emplace(ical::occurrenceOf(stored.texts[i]), i);
    }
    // The series first, then its changed occurrences, which the resource fits into it.
    for (const auto& [occurrence, text] : after) {
        const auto part = partOf.find(occurrence);
        if (part == partOf.end()) {
            Akonadi::Item item;
            item.setMimeType(eventType);
            item.setPayloadFromData(bytesOf(text));
            auto* job = new Akonadi::ItemCreateJob(
                item, Akonadi::Collection{std::stoll(collection.calendar.identifier)});
            if (auto error = session_.run(job, callEnd())) {
                return error;
            }
            pending_.push_back({stored.identifier,
                                collection.resource,
                                collection.kind,
                                job->item(),
                                Pending::created,
                                text,
                                {}});
            continue;
        }
        const std::string& was = stored.texts[part->second];
        if (const auto read = before.find(occurrence);
            read != before.end() && read->second == text) {
            continue;
        }
        Akonadi::Item item = stored.parts[static_cast<int>(part->second)];
        item.setPayloadFromData(bytesOf(text));
        auto* job = new Akonadi::ItemModifyJob(item);
        // A part changed since the run read it fails the job rather than being merged.
        job->disableAutomaticConflictHandling();
        if (auto error = session_.run(job, callEnd())) {
            return error->message.find("LLCONFLICT") != std::string::npos
                       ? changedElsewhere(stored.identifier, "overwritten")
                       : *error;
        }
        pending_.push_back({stored.identifier, collection.resource, collection.kind, job->item(),
                            Pending::changed, text, was});
    }
    // A changed occurrence the edit dropped goes alone: the series already says what it is now.
    for (const auto& [occurrence, index] : partOf) {
        if (!occurrence.empty() && !after.contains(occurrence)) {
            if (auto error = removeParts(collection, stored, index)) {
                return error;
            }
        }
    }
    return std::nullopt;
}

WriteError AkonadiStore::removeParts(const Collection& collection, const Stored& stored,
                                     std::optional<std::size_t> only) {
    Akonadi::Item::List parts;
    for (std::size_t i = 0; i < stored.texts.size(); ++i) {
        if (!only || *only == i) {
            parts.push_back(stored.parts[static_cast<int>(i)]);
        }
    }
    if (auto error = session_.run(new Akonadi::ItemDeleteJob(parts), callEnd())) {
        return error;
    }
    for (std::size_t i = 0; i < stored.texts.size(); ++i) {
        if (!only || *only == i) {
            pending_.push_back({stored.identifier,
                                collection.resource,
                                collection.kind,
                                stored.parts[static_cast<int>(i)],
                                Pending::removed,
                                {},
                                stored.texts[i]});
        }
    }
    return std::nullopt;
}

Result<Stored> AkonadiStore::fresh(const std::string& identifier, const char* refused) {
    const auto known = find(identifier);
    if (!known) {
        return known.error();
    }
    auto* job = new Akonadi::ItemFetchJob((*known)->parts);
    job->fetchScope().fetchFullPayload(true);
    job->fetchScope().setCacheOnly(true);
    const WriteError failed = session_.run(job, callEnd());
    const auto seen = seen_.find(identifier);
    if (failed && failed->kind == ErrorKind::timedOut) {
        return *failed;
    }
    if (failed || job->items().size() != (*known)->parts.size()) {
        // A part that went since the run saw the item was removed by another program.
        return seen != seen_.end() ? changedElsewhere(identifier, refused) : eventGone();
    }
    Stored now;
    now.identifier = identifier;
    for (const Akonadi::Item& part : job->items()) {
        const QByteArray payload = part.payloadData();
        now.parts.push_back(part);
        now.texts.emplace_back(payload.constData(), static_cast<std::size_t>(payload.size()));
    }
    if (seen != seen_.end() && seen->second != now.version()) {
        return changedElsewhere(identifier, refused);
    }
    std::vector<std::string> texts = now.texts;
    assemble(now, splitIdentifier(identifier)->first, ical::Keep::tree);
    now.texts = std::move(texts);
    if (!now.item) {
        return StoreError{"the event " + identifier + " cannot be read"};
    }
    return now;
}

void AkonadiStore::relist(const std::string& identifier, const Akonadi::Item::List& parts) {
    const auto name = splitIdentifier(identifier);
    const auto listing = name ? listings_.find(name->first) : listings_.end();
    if (listing == listings_.end()) {
        return;
    }
    listing->second.erase(identifier);
    if (parts.isEmpty()) {
        return;
    }
    auto* job = new Akonadi::ItemFetchJob(parts);
    job->fetchScope().fetchFullPayload(true);
    job->fetchScope().setCacheOnly(true);
    if (session_.run(job, callEnd()) || job->items().size() != parts.size()) {
        listings_.erase(listing);  // read whole again when it is next asked for
        return;
    }
    Stored stored;
    stored.identifier = identifier;
    for (const Akonadi::Item& part : job->items()) {
        const QByteArray payload = part.payloadData();
        stored.parts.push_back(part);
        stored.texts.emplace_back(payload.constData(), static_cast<std::size_t>(payload.size()));
    }
    assemble(stored, name->first, ical::Keep::model);
    listing->second.emplace(identifier, std::move(stored));
}

void AkonadiStore::forget(const std::string& identifier) {
    // The next look-up reads the collection again, with what the resource made of the write.
    if (const auto name = splitIdentifier(identifier)) {
        listings_.erase(name->first);
    }
}

}  // namespace ravu::akonadi

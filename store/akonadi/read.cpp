// Reading: each collection's items gathered by UID into the format layer, queries over
// collections, and what the run keeps of them once it holds its lock.
#include <Akonadi/ItemFetchJob>
#include <Akonadi/ItemFetchScope>

#include <algorithm>

#include "store/akonadi/akonadi_store.h"
#include "store/ical/calendar_text.h"
#include "store/policy.h"

namespace ravu::akonadi {
namespace {

std::optional<Instant> instantOf(const QDateTime& time) {
    if (!time.isValid()) {
        return std::nullopt;
    }
    return Instant{std::chrono::milliseconds{time.toMSecsSinceEpoch()}};
}

}  // namespace

std::optional<std::pair<std::string, std::string>> splitIdentifier(std::string_view identifier) {
    const auto slash = identifier.find('/');
    if (slash == std::string_view::npos || slash == 0 || slash + 1 == identifier.size() ||
        identifier.substr(0, slash).find_first_not_of("0123456789") != std::string_view::npos ||
        slash > 18) {
        return std::nullopt;
    }
    return std::pair{std::string{identifier.substr(0, slash)},
                     std::string{identifier.substr(slash + 1)}};
}

std::string Stored::version() const {
    std::string version;
    for (const Akonadi::Item& part : parts) {
        version += std::to_string(part.id()) + ":" + std::to_string(part.revision()) + ";";
    }
    return version;
}

Result<AkonadiStore::Items> AkonadiStore::fetch(const std::string& collection,
                                                ical::Keep keep) const {
    if (const auto known = this->collection(collection); !known) {
        return known.error();
    }
    auto* job = new Akonadi::ItemFetchJob(Akonadi::Collection{std::stoll(collection)});
    // From Akonadi's cache: a run never waits for a resource to ask its server.
    job->fetchScope().fetchFullPayload(true);
    job->fetchScope().setCacheOnly(true);
    job->fetchScope().setAncestorRetrieval(Akonadi::ItemFetchScope::None);
    if (auto error = session_.run(job, deadline_->within(readLimit, clock_->monotonic()))) {
        return *error;
    }
    Items items;
    for (const Akonadi::Item& part : job->items()) {
        const QByteArray payload = part.payloadData();
        std::string text{payload.constData(), static_cast<std::size_t>(payload.size())};
        std::string uid = ical::uidOf(text);
        if (uid.empty()) {
            uid = "item-" + std::to_string(part.id());
        }
        Stored& stored = items[collection + "/" + uid];
        stored.identifier = collection + "/" + uid;
        stored.parts.push_back(part);
        stored.texts.push_back(std::move(text));
    }
    for (auto& [identifier, stored] : items) {
        assemble(stored, collection, keep);
    }
    return items;
}

void AkonadiStore::assemble(Stored& stored, const std::string& collection, ical::Keep keep) const {
    const std::string& identifier = stored.identifier;
    // When Akonadi last stored each part: peers that do not stamp LAST-MODIFIED still count.
    std::map<std::string, Instant> storedAt;
    for (std::size_t i = 0; i < stored.texts.size(); ++i) {
        Akonadi::Item& part = stored.parts[static_cast<int>(i)];
        if (const auto modified = instantOf(part.modificationTime())) {
            storedAt[ical::occurrenceOf(stored.texts[i])] = *modified;
        }
        part.clearPayload();
    }
    std::string text = stored.texts.size() == 1
                           ? stored.texts.front()
                           : ical::joined({stored.texts.begin(), stored.texts.end()});
    stored.item =
        ical::Item::parse(std::move(text), {identifier, collection, std::nullopt, identifier},
                          *zone_, keep, std::move(storedAt));
    if (!stored.item && !ical::holdsOnlyTasksOrJournals(stored.texts.front()) &&
        told_.insert(identifier).second) {
        *diagnostics_ << "ravu-calendar: skipping unreadable event " << identifier << '\n';
    } else if (stored.item && !stored.item->notes().empty() && told_.insert(identifier).second) {
        for (const std::string& note : stored.item->notes()) {
            *diagnostics_ << itemLine(identifier, note) << '\n';
        }
    }
    if (keep == ical::Keep::model) {
        stored.texts.clear();
    }
}

Result<const AkonadiStore::Items*> AkonadiStore::listing(const std::string& collection) const {
    if (const auto kept = listings_.find(collection); kept != listings_.end()) {
        return &kept->second;
    }
    auto read = fetch(collection, ical::Keep::model);
    if (!read) {
        return read.error();
    }
    return &listings_.emplace(collection, std::move(*read)).first->second;
}

Result<const Stored*> AkonadiStore::find(const std::string& identifier) const {
    const auto name = splitIdentifier(identifier);
    if (!name) {
        return eventGone();
    }
    const auto kept = listing(name->first);
    if (!kept) {
        return kept.error();  // `gone` with its collection
    }
    const auto stored = (*kept)->find(identifier);
    if (stored == (*kept)->end() || !stored->second.item) {
        return eventGone();
    }
    seen(stored->second);
    return &stored->second;
}

void AkonadiStore::seen(const Stored& stored) const {
    if (lock_.held()) {
        seen_.emplace(stored.identifier, stored.version());
    }
}

Result<std::vector<Event>> AkonadiStore::eventsMatching(const EventPredicate& predicate) const {
    std::vector<std::string> wanted;
    if (predicate.calendarIds) {
        wanted = *predicate.calendarIds;
    } else if (const auto all = collections()) {
        for (const auto& [id, collection] : **all) {
            wanted.push_back(id);
        }
    } else {
        return all.error();
    }
    std::sort(wanted.begin(), wanted.end());
    wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());

    std::vector<Event> found;
    const auto add = [&](const Stored& stored) {
        if (!stored.item) {
            return;
        }
        const std::size_t room = roomFor(found.size());
        if (!stored.item->occurrences(predicate.start, predicate.end, found, room) &&
            told_.insert(stored.identifier + " dense").second) {
            *diagnostics_ << itemLine(stored.identifier, cutShort(room)) << '\n';
        }
        seen(stored);
    };
    for (const std::string& collection : wanted) {
        // Once the run holds its lock, each collection is read once and kept up to date by the
        // run's own writes; before that only one collection's items are in memory at a time.
        if (lock_.held()) {
            const auto kept = listing(collection);
            if (!kept) {
                return kept.error();
            }
            for (const auto& [identifier, stored] : **kept) {
                add(stored);
            }
            continue;
        }
        const auto read = fetch(collection, ical::Keep::model);
        if (!read) {
            return read.error();
        }
        for (const auto& [identifier, stored] : *read) {
            add(stored);
        }
    }
    inQueryOrder(found);
    return found;
}

Result<std::vector<Event>> AkonadiStore::itemEventsMatching(std::string_view identifier,
                                                            Instant start, Instant end) const {
    std::vector<Event> found;
    const auto stored = find(std::string{identifier});
    if (!stored) {
        return stored.gone() ? Result<std::vector<Event>>{found} : stored.error();
    }
    (*stored)->item->occurrences(start, end, found);
    inQueryOrder(found);
    return found;
}

Result<Event> AkonadiStore::calendarItemWithIdentifier(std::string_view identifier) const {
    const auto stored = find(std::string{identifier});
    if (!stored) {
        return stored.error();
    }
    return (*stored)->item->event();
}

}  // namespace ravu::akonadi

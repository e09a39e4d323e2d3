// The server and Akonadi's event collections as calendars.
#include <Akonadi/AgentManager>
#include <Akonadi/CollectionColorAttribute>
#include <Akonadi/CollectionFetchJob>
#include <Akonadi/CollectionFetchScope>
#include <Akonadi/ServerManager>

#include <algorithm>
#include <tuple>

#include "store/akonadi/akonadi_store.h"
#include "store/akonadi/bus.h"
#include "store/policy.h"

namespace ravu::akonadi {
namespace {

constexpr const char* eventType = "application/x-vnd.akonadi.calendar.event";
/// The longest the bus may take to answer one question about Akonadi.
constexpr std::chrono::milliseconds busLimit{2'000};

bool fileResource(const std::string& agentType) {
    return agentType == "akonadi_ical_resource" || agentType == "akonadi_icaldir_resource";
}

/// The colour attribute's text (#AARRGGBB) as the catalogue writes colours (#rrggbb).
std::optional<std::vector<double>> colorOf(const Akonadi::Collection& found) {
    const auto* color = found.attribute<Akonadi::CollectionColorAttribute>();
    if (color == nullptr || !color->color().isValid()) {
        return std::nullopt;
    }
    return ravu::colorOf(color->color().name(QColor::HexRgb).toStdString(), ColorText::rgb);
}

}  // namespace

SourceType typeOf(const std::string& agentType, const std::string& remoteId) {
    if (fileResource(agentType)) {
        // The iCal resource reads a URL as readily as a file: that is a subscription.
        const bool url = remoteId.starts_with("http:") || remoteId.starts_with("https:") ||
                         remoteId.starts_with("webcal:") || remoteId.starts_with("webcals:");
        return url ? SourceType::subscribed : SourceType::local;
    }
    if (agentType == "akonadi_davgroupware_resource" || agentType == "akonadi_google_resource") {
        return SourceType::calDAV;
    }
    if (agentType == "akonadi_ews_resource") {
        return SourceType::exchange;
    }
    if (agentType == "akonadi_birthdays_resource") {
        return SourceType::birthdays;
    }
    return SourceType::other;
}

Kind kindOf(const std::string& agentType) {
    if (fileResource(agentType)) {
        return Kind::file;
    }
    if (agentType == "akonadi_davgroupware_resource" || agentType == "akonadi_google_resource" ||
        agentType == "akonadi_ews_resource") {
        return Kind::remote;
    }
    return Kind::other;
}

AkonadiStore::AkonadiStore(const ModuleSettings& settings)
    : diagnostics_{settings.diagnostics},
      zone_{settings.zone},
      deadline_{settings.deadline != nullptr ? settings.deadline : &never_},
      clock_{settings.clock},
      session_{*settings.clock},
      lock_{settings.lockFolder, *settings.clock} {}

AkonadiStore::~AkonadiStore() {
    // What a run leaves unsettled is the resources' to finish: nothing waits past the run.
    pending_.clear();
}

AuthorizationStatus AkonadiStore::authorizationStatus() const {
    const auto limit = std::min<std::chrono::milliseconds>(
        busLimit,
        std::chrono::duration_cast<std::chrono::milliseconds>(callEnd() - clock_->monotonic()));
    switch (presence(limit)) {
        case Presence::running:
        case Presence::activatable:
            return AuthorizationStatus::fullAccess;
        case Presence::absent:
        case Presence::silent:
            break;
    }
    return AuthorizationStatus::denied;
}

bool AkonadiStore::requestFullAccess() {
    return !ready();
}

WriteError AkonadiStore::ready() const {
    if (ready_) {
        return *ready_;
    }
    const auto end = callEnd();
    const auto left = [&] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(end - clock_->monotonic());
    };
    const auto failed = [&](StoreError error) -> WriteError {
        *diagnostics_ << "ravu-calendar: Akonadi cannot be reached: " << error.message << '\n';
        ready_ = error;
        return error;
    };
    const Presence now = presence(std::min(busLimit, left()));
    if (now == Presence::silent) {
        return failed(StoreError{"no session bus answers", ErrorKind::timedOut});
    }
    if (now == Presence::absent) {
        return failed(StoreError{"Akonadi is not installed", ErrorKind::refused});
    }
    std::string why;
    // Through the bus's activation, so that the server never holds this run's output open.
    if (now != Presence::running && !activate(std::min(busLimit, left()), why)) {
        return failed(StoreError{why, ErrorKind::refused});
    }
    while (Akonadi::ServerManager::state() != Akonadi::ServerManager::Running) {
        if (clock_->monotonic() >= end) {
            return failed(outOfTime());
        }
        session_.pause(std::chrono::milliseconds{20});
    }
    ready_ = WriteError{};
    return std::nullopt;
}

Result<const std::map<std::string, Collection>*> AkonadiStore::collections() const {
    if (collections_) {
        if (!*collections_) {
            return collections_->error();
        }
        return &**collections_;
    }
    if (auto error = ready()) {
        return *error;
    }
    auto* job = new Akonadi::CollectionFetchJob(Akonadi::Collection::root(),
                                                Akonadi::CollectionFetchJob::Recursive);
    job->fetchScope().setContentMimeTypes({eventType});
    if (auto error = session_.run(job, callEnd())) {
        *diagnostics_ << "ravu-calendar: the calendars cannot be listed: " << error->message
                      << '\n';
        collections_.emplace(*error);
        return *error;
    }
    // A resource's top collection holds what it reads, such as a subscription's URL.
    std::map<std::string, Akonadi::Collection> tops;
    for (const Akonadi::Collection& found : job->collections()) {
        if (found.parentCollection() == Akonadi::Collection::root()) {
            tops.emplace(found.resource().toStdString(), found);
        }
    }
    std::map<std::string, Collection> listed;
    for (const Akonadi::Collection& found : job->collections()) {
        if (found.isVirtual() || !found.contentMimeTypes().contains(eventType)) {
            continue;
        }
        const Akonadi::AgentInstance resource =
            Akonadi::AgentManager::self()->instance(found.resource());
        const std::string agentType = resource.type().identifier().toStdString();
        const auto top = tops.find(found.resource().toStdString());
        const std::string remoteId =
            (top != tops.end() ? top->second : found).remoteId().toStdString();

        Collection collection;
        collection.resource = found.resource().toStdString();
        collection.kind = kindOf(agentType);
        collection.calDav = agentType == "akonadi_davgroupware_resource";
        Calendar& calendar = collection.calendar;
        calendar.identifier = std::to_string(found.id());
        calendar.title = found.displayName().toStdString();
        calendar.source = Source{resource.isValid() ? resource.name().toStdString() : "",
                                 typeOf(agentType, remoteId)};
        const auto rights = found.rights();
        calendar.allowsContentModifications = (rights & Akonadi::Collection::CanCreateItem) &&
                                              (rights & Akonadi::Collection::CanChangeItem) &&
                                              (rights & Akonadi::Collection::CanDeleteItem);
        calendar.color = colorOf(found);
        listed.emplace(calendar.identifier, std::move(collection));
    }
    collections_.emplace(std::move(listed));
    return &**collections_;
}

Result<const Collection*> AkonadiStore::collection(const std::string& id) const {
    const auto all = collections();
    if (!all) {
        return all.error();
    }
    const auto found = (*all)->find(id);
    if (found == (*all)->end()) {
        return noSuchCalendar(id);
    }
    return &found->second;
}

Result<std::vector<Calendar>> AkonadiStore::calendars(Listing) const {
    // Akonadi says every collection's rights without asking its resource.
    const auto all = collections();
    if (!all) {
        return all.error();
    }
    std::vector<Calendar> found;
    for (const auto& [id, collection] : **all) {
        found.push_back(collection.calendar);
    }
    std::sort(found.begin(), found.end(), [](const Calendar& a, const Calendar& b) {
        return std::tie(a.source->title, a.title, a.identifier) <
               std::tie(b.source->title, b.title, b.identifier);
    });
    return found;
}

WriteError AkonadiStore::calendarTakesChanges(std::string_view calendarId) const {
    const auto found = collection(std::string{calendarId});
    if (!found) {
        return found.error();
    }
    // Akonadi takes writes into a collection whose rights refuse them: the rights are ours to
    // keep.
    if (!(*found)->calendar.allowsContentModifications) {
        return readOnly();
    }
    return std::nullopt;
}

}  // namespace ravu::akonadi

extern "C" __attribute__((visibility("default"))) ravu::Store* ravu_calendar_akonadi_store(
    const ravu::ModuleSettings* settings) {
    try {
        return new ravu::akonadi::AkonadiStore(*settings);
    } catch (const std::exception&) {
        return nullptr;
    }
}

// Settling: a resource takes a write from Akonadi only after the job that made it ended, and
// tells a refusal only as a signal of its agent. So a write counts once the item shows that its
// resource took it, and one that was refused is undone: nothing of it stays.
#include <Akonadi/AgentManager>
#include <Akonadi/ItemCreateJob>
#include <Akonadi/ItemDeleteJob>
#include <Akonadi/ItemFetchJob>
#include <Akonadi/ItemFetchScope>
#include <Akonadi/ItemModifyJob>

#include "store/akonadi/akonadi_store.h"
#include "store/policy.h"

namespace ravu::akonadi {
namespace {

/// The longest a resource may take to take a write.
constexpr std::chrono::milliseconds settleLimit{10'000};
/// How long a removal waits for its resource to refuse it: a removal leaves no item to look at.
/// Refusals come within a tenth of a second of the change.
std::chrono::milliseconds graceFor(Kind kind) {
    return kind == Kind::remote ? std::chrono::milliseconds{600} : std::chrono::milliseconds{200};
}

/// How long a change on a server stays as the resource left it once the remote revision moved,
/// before it counts as taken: the resource takes the server's copy over a stale one a moment
/// after it stored the server's refusal.
constexpr std::chrono::milliseconds serverSettles{150};
/// How long a change on a file resource may show nothing before it counts as taken.
constexpr std::chrono::milliseconds fileGrace{1'000};

QByteArray bytesOf(const std::string& text) {
    return QByteArray{text.data(), static_cast<int>(text.size())};
}

}  // namespace

WriteError AkonadiStore::settle(const std::string& identifier) {
    std::vector<Pending> writes;
    std::erase_if(pending_, [&](Pending& write) {
        if (!identifier.empty() && write.identifier != identifier) {
            return false;
        }
        writes.push_back(std::move(write));
        return true;
    });
    std::map<std::string, std::string> refusals;
    const QMetaObject::Connection listening = QObject::connect(
        Akonadi::AgentManager::self(), &Akonadi::AgentManager::instanceError,
        [&](const Akonadi::AgentInstance& instance, const QString& message) {
            refusals.emplace(instance.identifier().toStdString(), message.toStdString());
        });
    const auto started = clock_->monotonic();
    const auto end = deadline_->within(settleLimit, started);
    std::vector<bool> taken(writes.size(), false);
    std::vector<std::optional<Clock::Monotonic>> movedAt(writes.size());
    WriteError outcome = StoreError{
        "the calendar service did not confirm the write in time; it may still reach the "
        "calendar",
        ErrorKind::timedOut};
    while (true) {
        bool all = true;
        for (std::size_t i = 0; i < writes.size(); ++i) {
            const Pending& write = writes[i];
            if (taken[i]) {
                continue;
            }
            const Akonadi::AgentInstance resource =
                Akonadi::AgentManager::self()->instance(QString::fromStdString(write.resource));
            // A resource that is offline takes the write for later, as the desktop's own
            // applications see it.
            if (write.kind == Kind::other || !resource.isOnline()) {
                taken[i] = true;
                continue;
            }
            if (write.what == Pending::removed) {
                taken[i] = clock_->monotonic() - started >= graceFor(write.kind);
                all = all && taken[i];
                continue;
            }
            auto* job = new Akonadi::ItemFetchJob(write.item);
            job->fetchScope().setCacheOnly(true);
            if (session_.run(job, end) || job->items().isEmpty()) {
                all = false;
                continue;
            }
            const Akonadi::Item now = job->items().first();
            if (write.what == Pending::created) {
                taken[i] = !now.remoteId().isEmpty();
            } else if (write.kind == Kind::remote) {
                // A server that refused the change as stale makes the resource take the server's
                // copy: a change of the item of its own, which comes with the new remote
                // revision or a moment after it. Our own change keeps the item's revision.
                if (now.revision() != write.item.revision()) {
                    outcome = changedElsewhere(write.identifier, "overwritten");
                    break;
                }
                if (!movedAt[i] && now.remoteRevision() != write.item.remoteRevision()) {
                    movedAt[i] = clock_->monotonic();
                }
                taken[i] = movedAt[i] && clock_->monotonic() - *movedAt[i] >= serverSettles;
            } else {
                // A file resource stores the change again once it wrote it; one that stored it
                // within the same millisecond shows nothing, and a refusal would have come by now.
                taken[i] = now.modificationTime() != write.item.modificationTime() ||
                           clock_->monotonic() - started >= fileGrace;
            }
            all = all && taken[i];
        }
        if (outcome && outcome->kind == ErrorKind::changed) {
            break;
        }
        for (const Pending& write : writes) {
            if (const auto refused = refusals.find(write.resource); refused != refusals.end()) {
                outcome = StoreError{"the calendar refused the write: " + refused->second,
                                     ErrorKind::refused};
                break;
            }
        }
        if (all || (outcome && outcome->kind == ErrorKind::refused)) {
            break;
        }
        if (clock_->monotonic() >= end) {
            QObject::disconnect(listening);
            return outcome;  // may still land: nothing is undone
        }
        session_.pause(std::chrono::milliseconds{20});
    }
    QObject::disconnect(listening);
    if (outcome && outcome->kind != ErrorKind::timedOut) {
        for (auto write = writes.rbegin(); write != writes.rend(); ++write) {
            if (write->what != Pending::changed || outcome->kind != ErrorKind::changed) {
                undo(*write);
            }
        }
        return outcome;
    }
    return std::nullopt;
}

void AkonadiStore::undo(const Pending& write) {
    const auto end = callEnd();
    switch (write.what) {
        case Pending::created:
            (void)session_.run(new Akonadi::ItemDeleteJob(write.item), end);
            break;
        case Pending::changed: {
            auto* fetch = new Akonadi::ItemFetchJob(write.item);
            fetch->fetchScope().setCacheOnly(true);
            if (session_.run(fetch, end) || fetch->items().isEmpty()) {
                break;
            }
            Akonadi::Item item = fetch->items().first();
            item.setPayloadFromData(bytesOf(write.was));
            auto* job = new Akonadi::ItemModifyJob(item);
            job->disableRevisionCheck();
            (void)session_.run(job, end);
            break;
        }
        case Pending::removed:
            // Akonadi lets an item go before its resource removes it, and an item made again here
            // would reach the server as a second event. The resource brings it back when it reads
            // what changed on the server: at once after a peer's change, otherwise only once it
            // reads the calendar whole.
            break;
    }
    forget(write.identifier);
}

}  // namespace ravu::akonadi

// The KDE desktop's side of the tests: what a user's set-up and the desktop's other applications
// do to Akonadi, as one command per run.
//   resource TYPE NAME                     a new resource of the agent type (its settings file
//                                          written before), synchronised; prints its instance
//   sync INSTANCE                          synchronises the resource again
//   wallet ENTRY SECRET                    the password in the desktop's wallet, with no dialog
//   collections                            "id|name|resource|content types" of each collection
// Every call has a time limit; the exit status is 0 only when the command worked.
#include <Akonadi/AgentInstanceCreateJob>
#include <Akonadi/AgentManager>
#include <Akonadi/CollectionFetchJob>
#include <Akonadi/ResourceSynchronizationJob>
#include <QCoreApplication>
#include <QDBusInterface>
#include <QDBusReply>
#include <QElapsedTimer>
#include <QThread>
#include <QTimer>

#include <cstdio>

namespace Akonadi::Internal {
enum ClientType { User, Agent, Resource };
void setClientType(ClientType type);
}  // namespace Akonadi::Internal

namespace {

constexpr int limitMs = 60'000;

bool ran(KJob* job) {
    QTimer::singleShot(limitMs, job, [job] { job->kill(KJob::EmitResult); });
    if (!job->exec()) {
        std::fprintf(stderr, "%s\n", qPrintable(job->errorString()));
        return false;
    }
    return true;
}

/// The agent type, once the server lists it: a fresh server lists none for a moment.
Akonadi::AgentType typeNamed(const QString& name) {
    QElapsedTimer clock;
    clock.start();
    while (!Akonadi::AgentManager::self()->type(name).isValid() && clock.elapsed() < limitMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(50);
    }
    return Akonadi::AgentManager::self()->type(name);
}

int resource(const QStringList& args) {
    auto* create = new Akonadi::AgentInstanceCreateJob(typeNamed(args.at(0)));
    if (!ran(create)) {
        return 1;
    }
    Akonadi::AgentInstance instance = create->instance();
    instance.setName(args.at(1));
    if (!ran(new Akonadi::ResourceSynchronizationJob(instance))) {
        return 1;
    }
    std::printf("%s\n", qPrintable(instance.identifier()));
    return 0;
}

int wallet(const QStringList& args) {
    QDBusInterface kwallet{"org.kde.kwalletd5", "/modules/kwalletd5", "org.kde.KWallet",
                           QDBusConnection::sessionBus()};
    kwallet.setTimeout(limitMs);
    // Opening with a key creates the wallet and opens it with no dialog.
    kwallet.call("pamOpen", "kdewallet", QByteArray(56, 'k'), 0);
    const QDBusReply<int> handle = kwallet.call("open", "kdewallet", qlonglong{0}, "ravu-tests");
    if (!handle.isValid() || handle.value() < 0) {
        std::fprintf(stderr, "the wallet cannot be opened\n");
        return 1;
    }
    kwallet.call("createFolder", handle.value(), "Passwords", "ravu-tests");
    const QDBusReply<int> written = kwallet.call("writePassword", handle.value(), "Passwords",
                                                 args.at(0), args.at(1), "ravu-tests");
    return written.isValid() && written.value() == 0 ? 0 : 1;
}

int collections() {
    auto* job = new Akonadi::CollectionFetchJob(Akonadi::Collection::root(),
                                                Akonadi::CollectionFetchJob::Recursive);
    if (!ran(job)) {
        return 1;
    }
    for (const Akonadi::Collection& c : job->collections()) {
        std::printf("%lld|%s|%s|%s\n", static_cast<long long>(c.id()), qPrintable(c.name()),
                    qPrintable(c.resource()), qPrintable(c.contentMimeTypes().join(',')));
    }
    return 0;
}

int run(const QStringList& all) {
    if (all.isEmpty()) {
        return 2;
    }
    const QString command = all.at(0);
    const QStringList args = all.mid(1);
    if (command == "resource" && args.size() == 2) {
        return resource(args);
    }
    if (command == "sync" && args.size() == 1) {
        return ran(new Akonadi::ResourceSynchronizationJob(
                   Akonadi::AgentManager::self()->instance(args.at(0))))
                   ? 0
                   : 1;
    }
    if (command == "wallet" && args.size() == 2) {
        return wallet(args);
    }
    if (command == "collections") {
        return collections();
    }
    std::fprintf(stderr, "unknown command\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    // Without this every client run makes Akonadi's first-run defaults.
    Akonadi::Internal::setClientType(Akonadi::Internal::Agent);
    QCoreApplication app{argc, argv};
    const int status = run(app.arguments().mid(1));
    // The jobs delete themselves once an event loop runs again.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return status;
}

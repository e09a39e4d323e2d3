#include "store/akonadi/session.h"

#include <Akonadi/AttributeFactory>
#include <Akonadi/CollectionColorAttribute>
#include <KJob>
#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <thread>

#include "store/deadline.h"

namespace Akonadi::Internal {
// Declared in Akonadi's private servermanager_p.h and exported by its library.
enum ClientType { User, Agent, Resource };
void setClientType(ClientType type);
}  // namespace Akonadi::Internal

namespace ravu::akonadi {

Session::Session(const Clock& clock) : clock_{&clock} {
    // Every line on standard error is the program's own: the libraries' logging stays off.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    if (QCoreApplication::instance() == nullptr) {
        static int argc = 1;
        static char name[] = "ravu-calendar";
        static char* argv[] = {name, nullptr};
        new QCoreApplication(argc, argv);
    }
    // Each job holds the application alive; when the last one ends, Qt would otherwise quit
    // every event loop, a job's own included, and a later job would return early.
    QCoreApplication::setQuitLockEnabled(false);
    Akonadi::Internal::setClientType(Akonadi::Internal::Agent);
    // Without it a collection's colour stays an attribute of raw bytes.
    Akonadi::AttributeFactory::registerAttribute<Akonadi::CollectionColorAttribute>();
}

Session::~Session() {
    // A finished job deletes itself once an event loop runs again: the last one of a run is
    // deleted here.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

WriteError Session::run(KJob* job, Clock::Monotonic until) const {
    QEventLoop loop;
    bool finished = false;
    WriteError failure;
    QObject::connect(job, &KJob::result, &loop, [&](KJob* done) {
        finished = true;
        if (done->error() != 0) {
            failure = StoreError{done->errorString().toStdString(), ErrorKind::storage};
        }
        loop.quit();
    });
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(until - clock_->monotonic());
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    timer.start(static_cast<int>(std::clamp<long long>(left.count(), 0, 3'600'000)));
    // Akonadi's jobs start themselves once the event loop runs; others are started here.
    if (!job->inherits("Akonadi::Job")) {
        job->start();
    }
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    if (!finished) {
        job->kill(KJob::Quietly);
    }
    return finished ? failure : outOfTime();
}

void Session::pause(std::chrono::milliseconds wait) const {
    QCoreApplication::processEvents(QEventLoop::AllEvents, static_cast<int>(wait.count()));
    std::this_thread::sleep_for(std::min(wait, std::chrono::milliseconds{5}));
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

}  // namespace ravu::akonadi

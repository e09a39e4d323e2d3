// The floor the KDE store is read against: a bare Akonadi client making the calls the store
// makes, with nothing of the program around them.
//   akonadi_floor list               the event collections, as `calendars` lists them
//   akonadi_floor fetch COLLECTION   every item with its full payload, from Akonadi's cache
//   akonadi_floor create COLLECTION COUNT
//                                    COUNT one-hour events, each written and waited for until
//                                    its resource gave it a remote id
#include <Akonadi/CollectionFetchJob>
#include <Akonadi/CollectionFetchScope>
#include <Akonadi/ItemCreateJob>
#include <Akonadi/ItemFetchJob>
#include <Akonadi/ItemFetchScope>
#include <QCoreApplication>
#include <QThread>

#include <cstdio>

namespace Akonadi::Internal {
enum ClientType { User, Agent, Resource };
void setClientType(ClientType type);
}  // namespace Akonadi::Internal

namespace {

constexpr const char* eventType = "application/x-vnd.akonadi.calendar.event";

int list() {
    auto* job = new Akonadi::CollectionFetchJob(Akonadi::Collection::root(),
                                                Akonadi::CollectionFetchJob::Recursive);
    job->fetchScope().setContentMimeTypes({eventType});
    return job->exec() ? 0 : 1;
}

int fetch(qint64 collection) {
    auto* job = new Akonadi::ItemFetchJob(Akonadi::Collection{collection});
    job->fetchScope().fetchFullPayload(true);
    job->fetchScope().setCacheOnly(true);
    if (!job->exec()) {
        return 1;
    }
    qint64 bytes = 0;
    for (const Akonadi::Item& item : job->items()) {
        bytes += item.payloadData().size();
    }
    std::printf("%d items, %lld bytes\n", static_cast<int>(job->items().size()),
                static_cast<long long>(bytes));
    return 0;
}

int create(qint64 collection, int count) {
    for (int i = 0; i < count; ++i) {
        const QByteArray text =
            QStringLiteral(
                "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//ravu//bench//EN\r\n"
                "BEGIN:VEVENT\r\nUID:floor-%1-%2\r\nDTSTAMP:20270101T000000Z\r\n"
                "DTSTART:20270102T%3Z\r\nDTEND:20270102T%3Z\r\nSUMMARY:Floor %2\r\n"
                "END:VEVENT\r\nEND:VCALENDAR\r\n")
                .arg(QCoreApplication::applicationPid())
                .arg(i)
                .arg(QStringLiteral("%1").arg(i % 24, 2, 10, QLatin1Char('0')) + "0000")
                .toUtf8();
        Akonadi::Item item;
        item.setMimeType(eventType);
        item.setPayloadFromData(text);
        auto* job = new Akonadi::ItemCreateJob(item, Akonadi::Collection{collection});
        if (!job->exec()) {
            return 1;
        }
        const Akonadi::Item made = job->item();
        for (bool taken = false; !taken;) {
            auto* look = new Akonadi::ItemFetchJob(made);
            look->fetchScope().setCacheOnly(true);
            look->fetchScope().fetchFullPayload(true);
            if (!look->exec() || look->items().isEmpty()) {
                return 1;
            }
            taken = !look->items().first().remoteId().isEmpty();
            if (!taken) {
                QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
                QThread::msleep(5);
            }
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Akonadi::Internal::setClientType(Akonadi::Internal::Agent);
    QCoreApplication app{argc, argv};
    QCoreApplication::setQuitLockEnabled(false);
    const QStringList args = app.arguments().mid(1);
    if (args.value(0) == "list") {
        return list();
    }
    if (args.value(0) == "fetch" && args.size() == 2) {
        return fetch(args.at(1).toLongLong());
    }
    if (args.value(0) == "create" && args.size() == 3) {
        return create(args.at(1).toLongLong(), args.at(2).toInt());
    }
    std::fprintf(stderr,
                 "usage: akonadi_floor list | fetch COLLECTION | create COLLECTION COUNT\n");
    return 2;
}

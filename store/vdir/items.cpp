#include "store/vdir/items.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace ravu::vdir {
namespace {

/// Reads the whole regular file open as `fd`, at most `limit` bytes; none when it is larger.
std::optional<std::string> readAll(int fd, std::size_t limit) {
    std::string text;
    char buffer[65536];
    while (true) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return std::nullopt;
        }
        if (n == 0) {
            return text;
        }
        if (text.size() + static_cast<std::size_t>(n) > limit) {
            return std::nullopt;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
}

}  // namespace

std::variant<StoredItem, LoadFailure> loadItem(int folder, const std::string& path, ItemName name,
                                               const TimeZone& user, ical::Keep keep) {
    const Descriptor file{
        ::openat(folder, path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)};
    if (file.get() < 0) {
        // A name too long for the file system names no file either.
        return errno == ENOENT || errno == ENOTDIR || errno == ENAMETOOLONG
                   ? LoadFailure::missing
                   : LoadFailure::unreadable;
    }
    struct stat info {};
    if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<std::size_t>(info.st_size) > maxItemBytes) {
        return LoadFailure::unreadable;
    }
    auto text = readAll(file.get(), maxItemBytes);
    if (!text) {
        return LoadFailure::unreadable;
    }
    if (ical::holdsOnlyTasksOrJournals(*text)) {
        return LoadFailure::notAnEvent;
    }
    const FileStamp stamp = stampOf(info);
    ical::Placement placement{name.identifier(), name.calendar.identifier(), stamp.modified(),
                              name.relativePath()};
    auto item = ical::Item::parse(std::move(*text), std::move(placement), user, keep);
    if (!item) {
        return LoadFailure::unreadable;
    }
    return StoredItem{std::move(name), stamp, std::move(*item)};
}

void ReadCache::keep(const ItemName& name, std::optional<StoredItem> written) {
    const std::string identifier = name.identifier();
    std::unique_ptr<StoredItem>& kept = items[identifier];
    if (kept && written) {
        *kept = std::move(*written);  // where its folder's listing points already
        return;
    }
    const auto listed = listings.find(name.calendar.identifier());
    if (listed != listings.end() && kept) {
        std::erase(listed->second, kept.get());
    }
    if (!written) {
        items.erase(identifier);
        return;
    }
    kept = std::make_unique<StoredItem>(std::move(*written));
    if (listed != listings.end()) {
        listed->second.push_back(kept.get());
    }
}

std::string skipLine(const ItemName& name) {
    return "ravu-calendar: skipping unreadable event file: " + name.relativePath();
}

}  // namespace ravu::vdir

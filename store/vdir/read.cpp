// Reading the directory store: calendars, events and occurrences.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <tuple>

#include "convert/text.h"
#include "store/policy.h"
#include "store/vdir/items.h"
#include "store/vdir/vdir_store.h"

namespace ravu {
namespace fs = std::filesystem;
using vdir::CalendarName;
using vdir::ItemName;
using vdir::StoredItem;

namespace {

/// Metadata files hold a word or a line; anything longer is not one of them.
constexpr std::size_t maxMetadataBytes = 4096;

/// A metadata file's text, trimmed of surrounding white space and line breaks; none when the
/// file is missing, empty, not a regular file or too long.
std::optional<std::string> metadata(const fs::path& file) {
    // Opened like an item: a link could name any file of the user's.
    const int fd = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    std::string text;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
        static_cast<std::size_t>(info.st_size) <= maxMetadataBytes) {
        text.resize(maxMetadataBytes + 1);
        const ssize_t n = ::read(fd, text.data(), text.size());
        text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    }
    ::close(fd);
    if (text.size() > maxMetadataBytes) {
        return std::nullopt;
    }
    const auto space = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    const auto first = std::find_if_not(text.begin(), text.end(), space);
    const auto last = std::find_if_not(text.rbegin(), text.rend(), space).base();
    if (first >= last) {
        return std::nullopt;
    }
    return repairUtf8(std::string{first, last});
}

SourceType sourceType(const std::optional<std::string>& word) {
    if (!word) {
        return SourceType::local;
    }
    std::string lower = *word;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    static constexpr std::pair<std::string_view, SourceType> words[] = {
        {"local", SourceType::local},           {"exchange", SourceType::exchange},
        {"caldav", SourceType::calDAV},         {"mobileme", SourceType::mobileMe},
        {"subscribed", SourceType::subscribed}, {"birthdays", SourceType::birthdays},
    };
    for (const auto& [name, type] : words) {
        if (lower == name) {
            return type;
        }
    }
    return SourceType::other;
}

/// Closes a directory stream when it goes out of scope.
struct DirClose {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

/// What reading one item file gave: the item, `missing`, or nothing usable (told here).
struct ReadResult {
    std::unique_ptr<StoredItem> item;
    bool missing = false;
};

/// Reads the item `name` from `path`, opened relative to `folder`, and tells what a reader
/// should know of it. The version read is remembered in `cache.seen`, so that a write later in
/// the run never overwrites a peer's change, whatever the run kept of the item itself.
ReadResult readItem(vdir::ReadCache& cache, std::ostream& diagnostics, int folder,
                    const std::string& path, const ItemName& name, const TimeZone& zone) {
    if (!vdir::isPlainName(name.name)) {
        diagnostics << vdir::skipLine(name) << '\n';
        return {};
    }
    auto loaded = vdir::loadItem(folder, path, name, zone, ical::Keep::model);
    if (auto* read = std::get_if<StoredItem>(&loaded)) {
        auto item = std::make_unique<StoredItem>(std::move(*read));
        cache.seen.try_emplace(name.identifier(), item->stamp);
        for (const std::string& note : item->item.notes()) {
            diagnostics << itemLine(name.relativePath(), note) << '\n';
        }
        return {std::move(item)};
    }
    const auto failure = std::get<vdir::LoadFailure>(loaded);
    if (failure == vdir::LoadFailure::unreadable) {
        diagnostics << vdir::skipLine(name) << '\n';
    }
    return {nullptr, failure == vdir::LoadFailure::missing};
}

/// The item from the run's cache, read into it first when this run has not read it yet. Null
/// for a missing item and for one that cannot be read, which is told once.
const StoredItem* cachedItem(vdir::ReadCache& cache, std::ostream& diagnostics, int folder,
                             const std::string& path, const ItemName& name, const TimeZone& zone) {
    std::string identifier = name.identifier();
    if (const auto cached = cache.items.find(identifier); cached != cache.items.end()) {
        return cached->second.get();
    }
    ReadResult read = readItem(cache, diagnostics, folder, path, name, zone);
    if (read.missing) {
        return nullptr;  // not kept: the writer may yet create it
    }
    return cache.items.emplace(std::move(identifier), std::move(read.item)).first->second.get();
}

/// Calls `visit` with each item file name of a calendar folder and the folder's descriptor; an
/// error when the folder cannot be listed to its end.
WriteError forEachFile(const fs::path& folder,
                       const std::function<void(int, const std::string&)>& visit) {
    const std::unique_ptr<DIR, DirClose> dir{::opendir(folder.c_str())};
    for (errno = 0; dir;) {
        const dirent* entry = ::readdir(dir.get());
        if (entry == nullptr) {
            break;
        }
        const std::string_view file{entry->d_name};
        if (file.size() > 4 && file.ends_with(".ics") && file.front() != '.') {
            visit(::dirfd(dir.get()), std::string{file});
        }
        errno = 0;
    }
    if (!dir || errno != 0) {
        return StoreError{"cannot list " + folder.string() + ": " + std::strerror(errno)};
    }
    return std::nullopt;
}

}  // namespace

VdirStore::VdirStore(fs::path root, std::ostream& diagnostics, const TimeZone& zone,
                     const Clock& clock)
    : root_(std::move(root)),
      diagnostics_(&diagnostics),
      zone_(&zone),
      clock_(&clock),
      cache_(std::make_unique<vdir::ReadCache>()) {}

VdirStore::~VdirStore() = default;

Result<std::vector<Calendar>> VdirStore::calendars(Listing) const {
    // Read once per run: the program never changes calendars, and a queue of creates asks for
    // them once per entry.
    if (cache_->calendars) {
        return *cache_->calendars;
    }
    const auto folders = vdir::calendarFolders(root_);
    if (!folders) {
        *diagnostics_ << "ravu-calendar: the calendars cannot be listed: " +
                             folders.error().message + "\n";
        return folders.error();
    }
    std::vector<Calendar>& calendars = cache_->calendars.emplace();
    std::string loadedSource;
    std::optional<Source> source;
    for (const CalendarName& name : *folders) {
        if (!source || loadedSource != name.source) {
            const fs::path folder = root_ / name.source;
            source = Source{metadata(folder / "displayname").value_or(name.source),
                            sourceType(metadata(folder / "type"))};
            loadedSource = name.source;
        }
        const fs::path folder = name.path(root_);
        Calendar calendar;
        calendar.identifier = name.identifier();
        calendar.title = metadata(folder / "displayname").value_or(name.calendar);
        calendar.color = colorOf(metadata(folder / "color").value_or(""), ColorText::rgbOrRgba);
        calendar.source = source;
        struct stat info {};
        calendar.allowsContentModifications =
            source->type != SourceType::subscribed && source->type != SourceType::birthdays &&
            ::lstat((folder / "readonly").c_str(), &info) != 0 && errno == ENOENT &&
            ::access(folder.c_str(), W_OK) == 0;
        calendars.push_back(std::move(calendar));
    }
    return calendars;
}

void VdirStore::addEvents(const StoredItem& stored, Instant start, Instant end,
                          std::vector<Event>& found) const {
    const std::size_t room = roomFor(found.size());
    if (!stored.item.occurrences(start, end, found, room) &&
        cache_->told.insert(stored.name.identifier()).second) {
        *diagnostics_ << itemLine(stored.name.relativePath(), cutShort(room)) << '\n';
    }
}

Result<std::vector<Event>> VdirStore::eventsMatching(const EventPredicate& predicate) const {
    std::vector<CalendarName> folders;
    if (predicate.calendarIds) {
        for (const std::string& identifier : *predicate.calendarIds) {
            auto name = vdir::parseCalendarId(identifier);
            if (name && std::find(folders.begin(), folders.end(), *name) == folders.end()) {
                folders.push_back(std::move(*name));
            }
        }
    } else if (auto all = vdir::calendarFolders(root_)) {
        folders = std::move(*all);
    } else {
        return all.error();
    }

    std::vector<Event> found;
    for (const CalendarName& folder : folders) {
        if (WriteError error = forEachItem(folder, [&](const StoredItem& stored) {
                addEvents(stored, predicate.start, predicate.end, found);
            })) {
            return std::move(*error);
        }
    }
    inQueryOrder(found);
    return found;
}

Result<const StoredItem*> VdirStore::lookedUp(std::string_view identifier) const {
    const auto name = vdir::parseItemId(identifier);
    if (!name) {
        return eventGone();
    }
    if (const StoredItem* stored = storedItem(*name)) {
        return stored;
    }
    // Reported once already. Gone only when the file is not there: a folder that may not be
    // searched hides it without removing it.
    struct stat info {};
    if (::lstat(name->path(root_).c_str(), &info) != 0 &&
        (errno == ENOENT || errno == ENOTDIR || errno == ENAMETOOLONG)) {
        return eventGone();
    }
    return StoreError{"the event's file " + name->relativePath() + " cannot be read"};
}

Result<std::vector<Event>> VdirStore::itemEventsMatching(std::string_view identifier, Instant start,
                                                         Instant end) const {
    std::vector<Event> found;
    const auto stored = lookedUp(identifier);
    if (!stored) {
        return stored.gone() ? Result<std::vector<Event>>{found} : stored.error();
    }
    addEvents(**stored, start, end, found);
    inQueryOrder(found);
    return found;
}

Result<Event> VdirStore::calendarItemWithIdentifier(std::string_view identifier) const {
    const auto stored = lookedUp(identifier);
    if (!stored) {
        return stored.error();
    }
    return (*stored)->item.event();
}

Result<const std::vector<const StoredItem*>*> VdirStore::listing(const CalendarName& folder) const {
    const std::string identifier = folder.identifier();
    if (const auto known = cache_->listings.find(identifier); known != cache_->listings.end()) {
        return &known->second;
    }
    std::vector<const StoredItem*> items;
    const WriteError error = forEachFile(folder.path(root_), [&](int dir, const std::string& file) {
        const ItemName name{folder, file.substr(0, file.size() - 4)};
        if (const StoredItem* item = cachedItem(*cache_, *diagnostics_, dir, file, name, *zone_)) {
            items.push_back(item);
        }
    });
    if (error) {
        return *error;
    }
    return &cache_->listings.emplace(identifier, std::move(items)).first->second;
}

WriteError VdirStore::forEachItem(const CalendarName& folder,
                                  const std::function<void(const StoredItem&)>& visit) const {
    // What a run reads before it holds the write lock may change under it, and `beginChanges`
    // reads again anyway. So until then nothing is kept but the versions seen: a snapshot, which
    // asks for each calendar once, then needs memory for one calendar, not for the whole store.
    if (!holdsLock()) {
        return forEachFile(folder.path(root_), [&](int dir, const std::string& file) {
            const ItemName name{folder, file.substr(0, file.size() - 4)};
            if (const auto read = readItem(*cache_, *diagnostics_, dir, file, name, *zone_);
                read.item) {
                visit(*read.item);
            }
        });
    }
    const auto items = listing(folder);
    if (!items) {
        return items.error();
    }
    for (const StoredItem* stored : **items) {
        visit(*stored);
    }
    return std::nullopt;
}

const StoredItem* VdirStore::storedItem(const ItemName& name) const {
    // Most items asked for were read already; the path is made only for a file still to read.
    if (const auto cached = cache_->items.find(name.identifier()); cached != cache_->items.end()) {
        return cached->second.get();
    }
    return cachedItem(*cache_, *diagnostics_, AT_FDCWD, name.path(root_).string(), name, *zone_);
}

}  // namespace ravu

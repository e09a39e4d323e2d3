// Inside the directory store: item files as one run reads them, and what the run keeps.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <variant>
#include <vector>

#include "store/ical/item.h"
#include "store/lock.h"
#include "store/store.h"
#include "store/vdir/names.h"
#include "store/vdir/safe_file.h"

namespace ravu::vdir {

/// Items larger than this are not read, and none is written: no calendar client writes one, and
/// parsing it would hold the whole run up.
inline constexpr std::size_t maxItemBytes = 4 * 1024 * 1024;

/// One item file, as this run read it.
struct StoredItem {
    ItemName name;
    FileStamp stamp;  ///< of the file this run read, taken from the open file
    ical::Item item;
};

enum class LoadFailure {
    missing,     ///< no file of that name
    notAnEvent,  ///< a file of tasks or journals
    unreadable,  ///< not a regular file, too large, or content the store cannot use
};

/// Reads the item `name` from the file at `path`, opened relative to `folder` (a directory
/// descriptor, or AT_FDCWD). A symbolic link is not followed: items are regular files.
std::variant<StoredItem, LoadFailure> loadItem(int folder, const std::string& path, ItemName name,
                                               const TimeZone& user, ical::Keep keep);

/// The line told for an item that is skipped.
std::string skipLine(const ItemName& name);

/// What one run has read. Each item file is parsed at most once per run for queries; later
/// queries and the writer see the version the run read first.
struct ReadCache {
    /// By identifier; a null entry is an item that could not be read and was reported.
    std::unordered_map<std::string, std::unique_ptr<StoredItem>> items;
    /// By calendar identifier, the readable items of the folder as a query first listed them,
    /// so that later queries neither list the folder nor look each item up again. A listing
    /// points into `items`: the run's writes change both together (`keep`).
    std::unordered_map<std::string, std::vector<const StoredItem*>> listings;
    /// The calendars as the run first listed them.
    std::optional<std::vector<Calendar>> calendars;
    /// By identifier, the version of each item file the run saw first. Kept when the rest is read
    /// again, so that a file a peer changed since is never overwritten, however the run got to
    /// know it.
    std::unordered_map<std::string, FileStamp> seen;
    /// The items whose occurrences a query had to cut short, each told once.
    std::unordered_set<std::string> told;

    /// Takes in an item as the run wrote it, or none when the run removed it: later queries see
    /// it without reading the file or listing its folder again.
    void keep(const ItemName& name, std::optional<StoredItem> written);
};

/// What a run's writes keep beyond its reads.
struct WriteState {
    WriteState(const std::filesystem::path& root, const Clock& clock) : lock(root, clock) {}
    WriteLock lock;  ///< taken at the first write, held to the end of the run
    /// Why `beginChanges` could not take the lock; every later write fails with it at once
    /// rather than wait for the lock again.
    WriteError lockFailure;
};

}  // namespace ravu::vdir

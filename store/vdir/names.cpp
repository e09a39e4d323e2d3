#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "convert/text.h"
#include "store/vdir/names.h"

namespace ravu::vdir {
namespace fs = std::filesystem;

namespace {

struct DirClose {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

/// The plain names of the folders in `folder`, sorted; symbolic links to folders included. An
/// error when the folder cannot be listed.
Result<std::vector<std::string>> subfolders(const fs::path& folder) {
    std::vector<std::string> names;
    const std::unique_ptr<DIR, DirClose> dir{::opendir(folder.c_str())};
    const auto failed = [&] {
        return StoreError{"cannot list " + folder.string() + ": " + std::strerror(errno)};
    };
    if (!dir) {
        return failed();
    }
    for (errno = 0; const dirent* entry = ::readdir(dir.get()); errno = 0) {
        const std::string_view name{entry->d_name};
        if (!isPlainName(name)) {
            continue;
        }
        bool isFolder = entry->d_type == DT_DIR;
        if (entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN) {
            struct stat info {};
            isFolder = ::fstatat(::dirfd(dir.get()), entry->d_name, &info, 0) == 0 &&
                       S_ISDIR(info.st_mode);
        }
        if (isFolder) {
            names.emplace_back(name);
        }
    }
    if (errno != 0) {
        return failed();
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

bool isPlainName(std::string_view name) {
    return !name.empty() && name.front() != '.' && name.find('/') == std::string_view::npos &&
           isValidUtf8(name);
}

std::optional<CalendarName> parseCalendarId(std::string_view identifier) {
    const std::size_t slash = identifier.find('/');
    if (slash == std::string_view::npos) {
        return std::nullopt;
    }
    CalendarName name{std::string{identifier.substr(0, slash)},
                      std::string{identifier.substr(slash + 1)}};
    if (!isPlainName(name.source) || !isPlainName(name.calendar)) {
        return std::nullopt;
    }
    return name;
}

std::optional<ItemName> parseItemId(std::string_view identifier) {
    const std::size_t slash = identifier.rfind('/');
    if (slash == std::string_view::npos) {
        return std::nullopt;
    }
    auto calendar = parseCalendarId(identifier.substr(0, slash));
    ItemName name{calendar ? std::move(*calendar) : CalendarName{},
                  std::string{identifier.substr(slash + 1)}};
    if (!calendar || !isPlainName(name.name)) {
        return std::nullopt;
    }
    return name;
}

Result<std::vector<CalendarName>> calendarFolders(const fs::path& root) {
    std::vector<CalendarName> folders;
    auto sources = subfolders(root);
    if (!sources) {
        return sources.error();
    }
    for (const std::string& source : *sources) {
        auto calendars = subfolders(root / source);
        if (!calendars) {
            return calendars.error();  // its calendars would look deleted
        }
        for (std::string& calendar : *calendars) {
            folders.push_back(CalendarName{source, std::move(calendar)});
        }
    }
    return folders;
}

}  // namespace ravu::vdir

// Names and folders of the directory store, and the text repair its files may need.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>

#include "store/vdir_internal.h"

namespace ravu::vdir {
namespace fs = std::filesystem;

namespace {

/// Length of the well-formed UTF-8 sequence at the start of `text`, or 0 for a bad byte or NUL.
std::size_t sequenceLength(std::string_view text) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    if (lead != 0 && lead < 0x80) {
        return 1;
    }
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;   // no overlong forms
        high = lead == 0xED ? 0x9F : 0xBF;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;  // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (text.size() < length || byte(1) < low || byte(1) > high) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) {
            return 0;
        }
    }
    return length;
}

/// Where the first bad byte lies, or the size of the text when there is none.
std::size_t firstBadByte(std::string_view text) {
    std::size_t pos = 0;
    while (pos < text.size()) {
        // Calendar files are mostly ASCII: step over it a byte at a time without decoding.
        if (const auto byte = static_cast<unsigned char>(text[pos]); byte != 0 && byte < 0x80) {
            ++pos;
            continue;
        }
        const std::size_t length = sequenceLength(text.substr(pos));
        if (length == 0) {
            return pos;
        }
        pos += length;
    }
    return pos;
}

struct DirClose {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

/// The plain names of the folders in `folder`, sorted; symbolic links to folders included.
std::vector<std::string> subfolders(const fs::path& folder) {
    std::vector<std::string> names;
    const std::unique_ptr<DIR, DirClose> dir{::opendir(folder.c_str())};
    if (!dir) {
        return names;
    }
    while (const dirent* entry = ::readdir(dir.get())) {
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
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

// --- Names ---------------------------------------------------------------------------------

bool isPlainName(std::string_view name) {
    return !name.empty() && name.front() != '.' && name.find('/') == std::string_view::npos &&
           firstBadByte(name) == name.size();
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

std::vector<CalendarName> calendarFolders(const fs::path& root) {
    std::vector<CalendarName> folders;
    for (const std::string& source : subfolders(root)) {
        for (std::string& calendar : subfolders(root / source)) {
            folders.push_back(CalendarName{source, std::move(calendar)});
        }
    }
    return folders;
}

// --- Text ----------------------------------------------------------------------------------

std::string repairUtf8(std::string text) {
    std::size_t bad = firstBadByte(text);
    if (bad == text.size()) {
        return text;
    }
    std::string repaired = text.substr(0, bad);
    repaired.reserve(text.size() + 16);
    const std::string_view rest{text};
    std::size_t pos = bad;
    while (pos < rest.size()) {
        const std::size_t length = sequenceLength(rest.substr(pos));
        if (length == 0) {
            repaired += "\xEF\xBF\xBD";
            ++pos;
        } else {
            repaired.append(rest, pos, length);
            pos += length;
        }
    }
    return repaired;
}

}  // namespace ravu::vdir

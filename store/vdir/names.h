// Names of the directory store: calendar folders and item files, and the identifiers the host
// knows them by. Identifiers come from the host, so nothing but a name checked here ever
// becomes a path: nothing outside the root is reached through one.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/store.h"

namespace ravu::vdir {

/// A folder or item name as the store uses it: not empty, not hidden (no leading "."), no "/"
/// and no NUL, and valid UTF-8 so that it survives the JSON documents.
bool isPlainName(std::string_view name);

/// A calendar folder, `<root>/<source>/<calendar>`; its identifier is "<source>/<calendar>".
struct CalendarName {
    std::string source;
    std::string calendar;

    std::string identifier() const { return source + '/' + calendar; }
    std::filesystem::path path(const std::filesystem::path& root) const {
        return root / source / calendar;
    }
    friend auto operator<=>(const CalendarName&, const CalendarName&) = default;
};

/// An item file, `<calendar folder>/<name>.ics`; its identifier is "<source>/<calendar>/<name>".
struct ItemName {
    CalendarName calendar;
    std::string name;

    std::string identifier() const { return calendar.identifier() + '/' + name; }
    std::string fileName() const { return name + ".ics"; }
    /// The path relative to the root, as diagnostics name the file.
    std::string relativePath() const { return identifier() + ".ics"; }
    std::filesystem::path path(const std::filesystem::path& root) const {
        return calendar.path(root) / fileName();
    }
};

/// "<source>/<calendar>" with two plain names, or none.
std::optional<CalendarName> parseCalendarId(std::string_view identifier);

/// "<source>/<calendar>/<name>" with three plain names, or none.
std::optional<ItemName> parseItemId(std::string_view identifier);

/// Every calendar folder in the store's order: by source folder name, then calendar folder name,
/// bytes compared. Symbolic links to folders count as folders; hidden names are passed over. An
/// error when the root or a source folder cannot be listed.
Result<std::vector<CalendarName>> calendarFolders(const std::filesystem::path& root);

}  // namespace ravu::vdir

// Where the directory store lives.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace ravu {

/// Looks an environment variable up; none when it is not set.
using Environment = std::function<std::optional<std::string>(const char* name)>;

/// RAVU_CALENDAR_STORE when set and not empty; otherwise $XDG_DATA_HOME/ravu-calendar, with
/// XDG_DATA_HOME defaulting to ~/.local/share (a relative XDG_DATA_HOME is ignored, as the XDG
/// base directory rules ask).
std::filesystem::path storeRoot(const Environment& environment);

}  // namespace ravu

// The marker URL that ties a calendar event to a host item: "ravu://item/" and the item id.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace ravu {

inline constexpr std::string_view markerPrefix = "ravu://item/";

/// The marker URL of an item id, taken as it is: nothing is trimmed, escaped or decoded. None
/// when the id holds a control character or a line break, which no URL text may carry.
std::optional<std::string> markerURL(std::string_view itemId);

/// The item id of a marker URL; none for any other URL, for the prefix alone, or no URL.
std::optional<std::string> markerItemId(const std::optional<std::string>& url);

}  // namespace ravu

#include "convert/marker.h"

namespace ravu {
namespace {

/// C0 controls, DEL, and the C1 controls and line separators as UTF-8 (U+0080..U+009F,
/// U+2028, U+2029).
bool holdsControl(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F) {
            return true;
        }
        const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {
            return true;
        }
        if (c == 0xE2 && next == 0x80 && i + 2 < text.size()) {
            const auto last = static_cast<unsigned char>(text[i + 2]);
            if (last == 0xA8 || last == 0xA9) {
                return true;
            }
        }
    }
    return false;
}

}  // namespace

std::optional<std::string> markerURL(std::string_view itemId) {
    if (holdsControl(itemId)) {
        return std::nullopt;
    }
    std::string url{markerPrefix};
    url += itemId;
    return url;
}

std::optional<std::string> markerItemId(const std::optional<std::string>& url) {
    if (!url || url->size() <= markerPrefix.size() || !url->starts_with(markerPrefix)) {
        return std::nullopt;
    }
    return url->substr(markerPrefix.size());
}

}  // namespace ravu

// Text as calendar files and documents may hold it.
#pragma once

#include <string>
#include <string_view>

namespace ravu {

/// The text as valid UTF-8: every byte that is not part of a well-formed sequence, and every NUL,
/// becomes U+FFFD. Returns the text unchanged (no copy) when it is valid already.
std::string repairUtf8(std::string text);

/// Whether the text is valid UTF-8 without NUL.
bool isValidUtf8(std::string_view text);

/// Text as a file may hold it: valid UTF-8, line breaks as LF, and no other control character
/// but TAB (C0, DEL and C1 controls are dropped).
std::string cleanText(std::string_view text);

}  // namespace ravu

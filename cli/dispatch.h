// The five words and what each of them runs.
#pragma once

#include <functional>
#include <string_view>

#include "document/json_text.h"

namespace ravu {

inline constexpr std::string_view usageText =
    "usage: ravu-calendar permission|calendars|snapshot|apply";

/// Whether `word` is one of the five.
bool isCommand(std::string_view word);

/// Whether the word reads a request.
bool takesRequest(std::string_view word);

/// Runs the command named by `word` and writes its document to `output`; false, with nothing
/// written, when the word is not one of the five. `readRequest` is called only by the words
/// that take a request.
bool runCommand(std::string_view word, Context& context, const std::function<Json()>& readRequest,
                const Output& output);

}  // namespace ravu

// The five words and what each of them runs.
#pragma once

#include <functional>
#include <optional>
#include <string_view>

#include "command/context.h"

namespace ravu {

inline constexpr std::string_view usageText =
    "usage: ravu-calendar permission|calendars|snapshot|apply";

/// Runs the command named by `word` and gives its document; none when the word is not one of
/// the five. `readRequest` is called only by the words that take a request.
std::optional<Json> runCommand(std::string_view word, Context& context,
                               const std::function<Json()>& readRequest);

}  // namespace ravu

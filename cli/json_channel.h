// The JSON channel: one request object in on standard input, one result object out.
#pragma once

#include <string>
#include <string_view>

#include "document/json_text.h"

namespace ravu {

/// Requests nested deeper than this are taken as unreadable: copying or printing a value
/// nested tens of thousands of levels deep would exhaust the stack.
inline constexpr int maxRequestDepth = 256;

/// The request object in `bytes`; the empty object for anything but a strict JSON object.
Json parseRequest(std::string_view bytes);

/// Prints the document and a line feed on standard output.
void emit(const Json& document);

/// Prints {"error": message} as `emit` does and ends the process with status 1.
[[noreturn]] void fail(std::string_view message);

/// Reads standard input to its end and parses it as `parseRequest` does.
Json readStdinJSON();

}  // namespace ravu

#include "cli/json_channel.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <iterator>

namespace ravu {
namespace {

/// The deepest nesting of arrays and objects in JSON text, not counting brackets in strings.
int nestingDepth(std::string_view text) {
    int depth = 0;
    int deepest = 0;
    bool inString = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            deepest = std::max(deepest, ++depth);
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return deepest;
}

}  // namespace

Json parseRequest(std::string_view bytes) {
    // JSON text holds no NUL; the reader would stop at one and take what came before it.
    if (bytes.find('\0') != std::string_view::npos || nestingDepth(bytes) > maxRequestDepth) {
        return Json::object();
    }
    Json request = Json::parse(bytes, nullptr, /*allow_exceptions=*/false);
    if (!request.is_object()) {
        return Json::object();
    }
    return request;
}

void emit(const Json& document) {
    std::string line = serializeDocument(document);
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

void fail(std::string_view message) {
    emit(Json{{"error", std::string{message}}});
    std::exit(1);
}

Json readStdinJSON() {
    std::string bytes{std::istreambuf_iterator<char>{std::cin}, std::istreambuf_iterator<char>{}};
    return parseRequest(bytes);
}

}  // namespace ravu

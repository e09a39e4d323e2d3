#include "document/json_text.h"

#include <exception>

#include "convert/text.h"

namespace ravu {
namespace {

/// A slash only ever stands inside a string in JSON text, so every one can be escaped.
std::string escapeSlashes(std::string_view compact) {
    std::string text;
    text.reserve(compact.size() + compact.size() / 16);
    for (const char c : compact) {
        if (c == '/') {
            text += '\\';
        }
        text += c;
    }
    return text;
}

}  // namespace

std::string serializeDocument(const Json& document) {
    try {
        return escapeSlashes(document.dump(-1, ' ', false, Json::error_handler_t::replace));
    } catch (const std::exception&) {
        return "{}";
    }
}

void appendString(std::string& out, std::string_view text) {
    // Text that is not UTF-8 (or holds a NUL) is rare: nlohmann's own writer decides how it is
    // replaced, so both ways of writing agree on it too.
    if (!isValidUtf8(text)) {
        out += serializeDocument(Json(std::string{text}));
        return;
    }
    static constexpr char hex[] = "0123456789abcdef";
    out += '"';
    for (const char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '/':
                out += "\\/";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    out += "\\u00";
                    out += hex[(c >> 4) & 0xF];
                    out += hex[c & 0xF];
                } else {
                    out += c;
                }
        }
    }
    out += '"';
}

}  // namespace ravu

#include "convert/text.h"

namespace ravu {
namespace {

/// Length of the well-formed UTF-8 sequence at the start of `text`, or 0 for a bad byte or NUL.
std::size_t sequenceLength(std::string_view text) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    if (lead != 0 && lead < 0x80) {
        return 1;
    }
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;   // no overlong forms
        high = lead == 0xED ? 0x9F : 0xBF;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;  // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (text.size() < length || byte(1) < low || byte(1) > high) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) {
            return 0;
        }
    }
    return length;
}

/// Where the first bad byte lies, or the size of the text when there is none.
std::size_t firstBadByte(std::string_view text) {
    std::size_t pos = 0;
    while (pos < text.size()) {
        // Calendar files are mostly ASCII: step over it a byte at a time without decoding.
        if (const auto byte = static_cast<unsigned char>(text[pos]); byte != 0 && byte < 0x80) {
            ++pos;
            continue;
        }
        const std::size_t length = sequenceLength(text.substr(pos));
        if (length == 0) {
            return pos;
        }
        pos += length;
    }
    return pos;
}

}  // namespace

bool isValidUtf8(std::string_view text) {
    return firstBadByte(text) == text.size();
}

std::string repairUtf8(std::string text) {
    std::size_t bad = firstBadByte(text);
    if (bad == text.size()) {
        return text;
    }
    std::string repaired = text.substr(0, bad);
    repaired.reserve(text.size() + 16);
    const std::string_view rest{text};
    std::size_t pos = bad;
    while (pos < rest.size()) {
        const std::size_t length = sequenceLength(rest.substr(pos));
        if (length == 0) {
            repaired += "\xEF\xBF\xBD";
            ++pos;
        } else {
            repaired.append(rest, pos, length);
            pos += length;
        }
    }
    return repaired;
}

std::string cleanText(std::string_view text) {
    const std::string valid = repairUtf8(std::string{text});
    std::string clean;
    clean.reserve(valid.size());
    for (std::size_t i = 0; i < valid.size(); ++i) {
        const auto c = static_cast<unsigned char>(valid[i]);
        if (c == '\r') {
            clean += '\n';
            i += (i + 1 < valid.size() && valid[i + 1] == '\n') ? 1 : 0;
        } else if (c == 0xC2 && i + 1 < valid.size() &&
                   static_cast<unsigned char>(valid[i + 1]) <= 0x9F) {
            ++i;  // U+0080..U+009F, the C1 controls
        } else if ((c >= 0x20 && c != 0x7F) || c == '\t' || c == '\n') {
            clean += static_cast<char>(c);
        }
    }
    return clean;
}

}  // namespace ravu

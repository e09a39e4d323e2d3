#include "store/ical/calendar_text.h"

#include <algorithm>
#include <cctype>

namespace ravu::ical {
namespace {

/// A calendar's text laid out: its own property lines and its components, each as raw lines.
struct Layout {
    std::vector<std::string_view> header;
    struct Block {
        std::string name;
        std::vector<std::string_view> lines;
    };
    std::vector<Block> blocks;
};

std::string upper(std::string_view text) {
    std::string out{text};
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return out;
}

/// The component a BEGIN or END line names, upper-cased; empty for any other line.
std::string marker(std::string_view line, std::string_view word) {
    if (line.size() <= word.size() || upper(line.substr(0, word.size())) != word) {
        return {};
    }
    return upper(line.substr(word.size()));
}

Layout layoutOf(std::string_view text) {
    Layout layout;
    int depth = 0;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        end = end == std::string_view::npos ? text.size() : end;
        std::string_view line = text.substr(at, end - at);
        at = end + 1;
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        const bool folded = !line.empty() && (line.front() == ' ' || line.front() == '\t');
        if (line.empty()) {
            continue;
        }
        if (!folded && !marker(line, "BEGIN:").empty()) {
            if (++depth == 2) {
                layout.blocks.push_back({marker(line, "BEGIN:"), {}});
            }
        }
        if (depth >= 2) {
            layout.blocks.back().lines.push_back(line);
        } else if (depth == 1 &&
                   (folded || (marker(line, "BEGIN:").empty() && marker(line, "END:").empty()))) {
            layout.header.push_back(line);
        }
        if (!folded && !marker(line, "END:").empty()) {
            depth = std::max(depth - 1, 0);
        }
    }
    return layout;
}

/// The unfolded property line of the block whose name is `name`; empty when there is none.
std::string property(const Layout::Block& block, std::string_view name) {
    for (std::size_t i = 1; i < block.lines.size(); ++i) {
        const std::string_view line = block.lines[i];
        const std::size_t cut = line.find_first_of(":;");
        if (cut != name.size() || upper(line.substr(0, cut)) != name) {
            continue;
        }
        std::string whole{line};
        for (std::size_t j = i + 1; j < block.lines.size(); ++j) {
            const std::string_view next = block.lines[j];
            if (next.front() != ' ' && next.front() != '\t') {
                break;
            }
            whole += next.substr(1);
        }
        return whole;
    }
    return {};
}

/// The value of a property line: what follows its first colon outside quotes.
std::string valueOf(const std::string& line) {
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        quoted = line[i] == '"' ? !quoted : quoted;
        if (line[i] == ':' && !quoted) {
            return line.substr(i + 1);
        }
    }
    return {};
}

std::string tzidOf(const std::string& line) {
    const std::string head = upper(line.substr(0, line.find(':')));
    const auto at = head.find(";TZID=");
    if (at == std::string::npos) {
        return {};
    }
    const std::string rest = line.substr(at + 6, line.find(':') - at - 6);
    return rest.substr(0, rest.find(';'));
}

/// The occurrence an event changes: "" for a series or single event, else its RECURRENCE-ID's
/// value and zone.
std::string keyOf(const Layout::Block& block) {
    const std::string rid = property(block, "RECURRENCE-ID");
    std::string key = rid.empty() ? "" : valueOf(rid);
    if (const std::string tzid = tzidOf(rid); !tzid.empty()) {
        key += " " + tzid;
    }
    return key;
}

void append(std::string& out, const std::vector<std::string_view>& lines) {
    for (const std::string_view line : lines) {
        out.append(line).append("\r\n");
    }
}

std::string opening(const Layout& layout) {
    std::string out = "BEGIN:VCALENDAR\r\n";
    append(out, layout.header);
    if (layout.header.empty()) {
        out += "VERSION:2.0\r\nPRODID:-//ravu-calendar//EN\r\n";
    }
    return out;
}

}  // namespace

std::string uidOf(std::string_view text) {
    for (const Layout::Block& block : layoutOf(text).blocks) {
        if (block.name == "VEVENT") {
            return valueOf(property(block, "UID"));
        }
    }
    return {};
}

std::string occurrenceOf(std::string_view text) {
    for (const Layout::Block& block : layoutOf(text).blocks) {
        if (block.name == "VEVENT") {
            return keyOf(block);
        }
    }
    return {};
}

std::string joined(const std::vector<std::string_view>& texts) {
    std::vector<Layout> layouts;
    for (const std::string_view text : texts) {
        layouts.push_back(layoutOf(text));
    }
    std::string out = opening(layouts.empty() ? Layout{} : layouts.front());
    std::vector<std::string> zones;
    for (const Layout& layout : layouts) {
        for (const Layout::Block& block : layout.blocks) {
            if (block.name != "VTIMEZONE") {
                continue;
            }
            const std::string tzid = valueOf(property(block, "TZID"));
            if (std::find(zones.begin(), zones.end(), tzid) == zones.end()) {
                zones.push_back(tzid);
                append(out, block.lines);
            }
        }
    }
    for (const Layout& layout : layouts) {
        for (const Layout::Block& block : layout.blocks) {
            if (block.name == "VEVENT") {
                append(out, block.lines);
            }
        }
    }
    return out + "END:VCALENDAR\r\n";
}

std::map<std::string, std::string> byOccurrence(std::string_view text) {
    const Layout layout = layoutOf(text);
    std::string zones;
    for (const Layout::Block& block : layout.blocks) {
        if (block.name == "VTIMEZONE") {
            append(zones, block.lines);
        }
    }
    std::map<std::string, std::string> parts;
    for (const Layout::Block& block : layout.blocks) {
        if (block.name != "VEVENT") {
            continue;
        }
        std::string out = opening(layout) + zones;
        append(out, block.lines);
        parts[keyOf(block)] = out + "END:VCALENDAR\r\n";
    }
    return parts;
}

}  // namespace ravu::ical

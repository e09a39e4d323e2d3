// iCalendar text before libical reads it: repaired where peers write it loosely, and cut to
// what libical reads quickly. Everything here works on the text; the tree comes after.
#include <algorithm>
#include <cctype>
#include <iterator>

#include "convert/text.h"
#include "store/ical/model.h"

namespace ravu::ical {
namespace {

/// The text with every folded line joined to the one before it. Unfolding is a matter of octets:
/// a peer that folds every 75 octets splits UTF-8 sequences, and only the joined text is UTF-8.
std::string unfolded(std::string text) {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool fold =
            text[i] == '\n' && i + 1 < text.size() && (text[i + 1] == ' ' || text[i + 1] == '\t');
        if (fold) {
            kept -= kept > 0 && text[kept - 1] == '\r' ? 1 : 0;
            ++i;  // the line break and the one white space character after it go
            continue;
        }
        text[kept++] = text[i];
    }
    text.resize(kept);
    return text;
}

/// Physical lines longer than this are folded before parsing: libical reads a line in time that
/// grows with the square of its length (4 MB on one line take seconds), a folded one in linear
/// time, and unfolds it all the same.
constexpr std::size_t longestLine = 4096;

/// The text as libical can read it quickly and quietly: END lines that close no component go
/// (libical would pass over them too, after a warning of its own on standard error), and long
/// lines are folded.
std::string tidyLines(const std::string& text) {
    const auto startsWith = [](std::string_view line, std::string_view word) {
        return line.size() > word.size() &&
               std::equal(word.begin(), word.end(), line.begin(),
                          [](char a, char b) {
                              return a == std::toupper(static_cast<unsigned char>(b));
                          }) &&
               (line[word.size()] == ':' || line[word.size()] == ';');
    };
    std::string kept;
    kept.reserve(text.size() + text.size() / longestLine * 3);
    int depth = 0;
    for (std::size_t begin = 0; begin < text.size();) {
        const std::size_t end = std::min(text.find('\n', begin), text.size() - 1);
        std::string_view line{text.data() + begin, end - begin + 1};
        begin = end + 1;
        if (startsWith(line, "BEGIN")) {
            ++depth;
        } else if (startsWith(line, "END") && depth-- == 0) {
            depth = 0;
            continue;
        }
        while (line.size() > longestLine) {
            std::size_t cut = longestLine;
            while (cut > 1 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) {
                --cut;  // between characters, not inside one
            }
            kept.append(line.substr(0, cut));
            kept.append("\r\n ");
            line.remove_prefix(cut);
        }
        kept.append(line);
    }
    return kept;
}

/// One logical line of iCalendar text: a line and the folded lines after it, joined.
struct LogicalLine {
    std::size_t begin;  ///< in the text
    std::size_t end;    ///< just after its last line break
    std::string text;
};

/// The logical line that starts at `begin`.
LogicalLine logicalLine(std::string_view text, std::size_t begin) {
    LogicalLine line{begin, begin, {}};
    do {
        std::size_t stop = text.find('\n', line.end);
        stop = stop == std::string_view::npos ? text.size() : stop;
        std::string_view piece = text.substr(line.end, stop - line.end);
        if (piece.ends_with('\r')) {
            piece.remove_suffix(1);
        }
        line.text.append(line.end == begin ? piece : piece.substr(1));
        line.end = std::min(stop + 1, text.size());
    } while (line.end < text.size() && (text[line.end] == ' ' || text[line.end] == '\t'));
    return line;
}

/// Where a property's value begins: after the first colon outside a quoted parameter.
std::size_t valueColon(std::string_view line, std::size_t nameEnd) {
    bool quoted = false;
    std::size_t colon = nameEnd;
    for (; colon < line.size() && (quoted || line[colon] != ':'); ++colon) {
        quoted ^= line[colon] == '"';
    }
    return colon;
}

/// The form a date or date-time value's text has. RFC 5545 allows eight digits, or eight
/// digits, "T", six digits and an optional "Z"; peers read each by its text, whatever its VALUE
/// parameter says. libical reads much else, each its own way ("T10300Z" as half past ten,
/// "2026121" as the first of December): that is `malformed`.
enum class TimeText { date, dateTime, period, malformed };

TimeText timeText(std::string_view value) {
    const auto digits = [&](std::size_t from, std::size_t count) {
        return value.size() >= from + count &&
               std::all_of(value.begin() + static_cast<long>(from),
                           value.begin() + static_cast<long>(from + count),
                           [](char c) { return c >= '0' && c <= '9'; });
    };
    if (value.size() == 8 && digits(0, 8)) {
        return TimeText::date;
    }
    if ((value.size() == 15 || (value.size() == 16 && value.back() == 'Z')) && digits(0, 8) &&
        value[8] == 'T' && digits(9, 6)) {
        return TimeText::dateTime;
    }
    // A PERIOD: a date-time start, then an end or a duration libical reads on its own.
    const std::size_t slash = value.find('/');
    if (slash != std::string_view::npos && slash + 1 < value.size() &&
        timeText(value.substr(0, slash)) == TimeText::dateTime) {
        return TimeText::period;
    }
    return TimeText::malformed;
}

std::string upper(std::string_view word) {
    std::string up{word};
    for (char& c : up) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return up;
}

/// The parameters of a property (the text between its name and its value, each with its ";")
/// without VALUE, and without TZID when the values are dates, which have no zone.
std::string paramsWithout(std::string_view params, bool tzid) {
    std::string kept;
    for (std::size_t begin = 0; begin < params.size();) {
        bool quoted = false;
        std::size_t end = begin + 1;
        for (; end < params.size() && (quoted || params[end] != ';'); ++end) {
            quoted ^= params[end] == '"';
        }
        const std::string name =
            upper(params.substr(begin + 1, params.find('=', begin) - begin - 1));
        if (name != "VALUE" && (name != "TZID" || !tzid)) {
            kept.append(params.substr(begin, end - begin));
        }
        begin = end;
    }
    return kept;
}

/// The text with its time values made what peers read them as, before libical reads them. Each
/// value counts as the form its text has; a line whose values disagree with its VALUE parameter,
/// or with each other, is written again as one line per form, with a VALUE to match. A date
/// drops its TZID. A malformed start, end or RECURRENCE-ID makes the item unreadable (none); a
/// malformed EXDATE or RDATE value is left out, and the line with it when it had no other.
std::optional<std::string> readableTimes(const std::string& text) {
    static constexpr std::string_view single[] = {"DTSTART", "DTEND", "DUE", "RECURRENCE-ID"};
    static constexpr std::string_view lists[] = {"EXDATE", "RDATE"};
    std::string out;
    std::size_t copied = 0;  // of `text`, into `out`
    for (std::size_t begin = 0; begin < text.size();) {
        const LogicalLine logical = logicalLine(text, begin);
        const std::size_t end = logical.end;
        const std::string& line = logical.text;
        const std::size_t nameEnd = line.find_first_of(";:");
        const std::string name = upper(std::string_view{line}.substr(0, nameEnd));
        const bool isSingle =
            std::find(std::begin(single), std::end(single), name) != std::end(single);
        const bool isList = std::find(std::begin(lists), std::end(lists), name) != std::end(lists);
        if ((!isSingle && !isList) || nameEnd == std::string::npos) {
            begin = end;
            continue;
        }
        const std::size_t colon = valueColon(line, nameEnd);
        const std::string_view params = std::string_view{line}.substr(nameEnd, colon - nameEnd);
        const std::string upperParams = upper(params);
        const TimeText declared =
            upperParams.find(";VALUE=DATE-TIME") != std::string::npos ? TimeText::dateTime
            : upperParams.find(";VALUE=DATE") != std::string::npos    ? TimeText::date
            : upperParams.find(";VALUE=PERIOD") != std::string::npos  ? TimeText::period
                                                                      : TimeText::dateTime;
        const bool zoned = upperParams.find(";TZID=") != std::string::npos;
        std::string byForm[3];  // the values of each form, comma-separated
        bool rewrite = false;
        const std::string_view values =
            colon < line.size() ? std::string_view{line}.substr(colon + 1) : std::string_view{};
        for (std::size_t from = 0; from <= values.size();) {
            const std::size_t comma = std::min(values.find(',', from), values.size());
            const std::string_view value = values.substr(from, comma - from);
            const TimeText form = timeText(value);
            if (form == TimeText::malformed) {
                if (isSingle) {
                    return std::nullopt;
                }
                rewrite = true;
            } else {
                std::string& same = byForm[static_cast<int>(form)];
                same += same.empty() ? "" : ",";
                same += value;
                rewrite |= form != declared || (form == TimeText::date && zoned);
            }
            from = comma + 1;
        }
        if (rewrite) {
            out.append(text, copied, begin - copied);
            copied = end;
            static constexpr std::string_view valueParam[] = {";VALUE=DATE", "", ";VALUE=PERIOD"};
            for (int form = 0; form < 3; ++form) {
                if (!byForm[form].empty()) {
                    out += line.substr(0, nameEnd);
                    out += paramsWithout(params, form == static_cast<int>(TimeText::date));
                    out += valueParam[form];
                    out += ":" + byForm[form] + "\r\n";
                }
            }
        }
        begin = end;
    }
    if (copied == 0) {
        return text;
    }
    out.append(text, copied, std::string::npos);
    return out;
}

/// A text value libical's parser does not keep as written, by the VEVENT it is in: it drops the
/// spaces at either end, and a value left empty by that goes with its property.
struct SpacedText {
    std::size_t event;  ///< among the VEVENTs of the VCALENDAR, in file order
    icalproperty_kind kind;
    std::string name;
    std::string value;  ///< as the file writes it, escapes taken out
};

/// The values of SUMMARY, LOCATION and URL that are empty or begin or end with white space. A
/// host's item id lives in the URL, and " abc" is not "abc": the text is kept exactly as stored.
std::vector<SpacedText> spacedTexts(std::string_view text) {
    static constexpr std::pair<std::string_view, icalproperty_kind> names[] = {
        {"SUMMARY", ICAL_SUMMARY_PROPERTY},
        {"LOCATION", ICAL_LOCATION_PROPERTY},
        {"URL", ICAL_URL_PROPERTY}};
    std::vector<SpacedText> found;
    std::size_t events = 0;
    int depth = 0;
    for (std::size_t begin = 0; begin < text.size();) {
        const LogicalLine logical = logicalLine(text, begin);
        begin = logical.end;
        const std::string& line = logical.text;
        if (line.starts_with("BEGIN:")) {
            events += (++depth == 2 && line == "BEGIN:VEVENT") ? 1 : 0;
            continue;
        }
        if (line.starts_with("END:")) {
            --depth;
            continue;
        }
        for (const auto& [name, kind] : names) {
            if (depth != 2 || events == 0 || !line.starts_with(name) ||
                (line[name.size()] != ':' && line[name.size()] != ';')) {
                continue;
            }
            const std::size_t colon = valueColon(line, name.size());
            std::string_view value =
                colon < line.size() ? std::string_view{line}.substr(colon + 1) : std::string_view{};
            const auto space = [](char c) { return c == ' ' || c == '\t'; };
            if (!value.empty() && !space(value.front()) && !space(value.back())) {
                continue;
            }
            std::string plain;
            for (std::size_t i = 0; i < value.size(); ++i) {
                if (kind != ICAL_URL_PROPERTY && value[i] == '\\' && i + 1 < value.size()) {
                    ++i;
                    plain += value[i] == 'n' || value[i] == 'N' ? '\n' : value[i];
                } else {
                    plain += value[i];
                }
            }
            found.push_back(SpacedText{events - 1, kind, std::string{name}, std::move(plain)});
        }
    }
    return found;
}

/// Puts what libical dropped back into the tree, so that the item reads as stored and a save
/// writes the same text back; libical's note that it dropped a value goes with it.
void restoreSpaces(icalcomponent* root, const std::vector<SpacedText>& texts) {
    const std::vector<icalcomponent*> vevents = eventsOf(root);
    for (const SpacedText& text : texts) {
        if (text.event >= vevents.size()) {
            continue;
        }
        icalcomponent* event = vevents[text.event];
        icalproperty* property = icalcomponent_get_first_property(event, text.kind);
        if (property == nullptr) {
            const std::string note = "No value for " + text.name + " property.";
            for (icalproperty* error : propertiesOf(event, ICAL_XLICERROR_PROPERTY)) {
                const char* message = icalproperty_get_xlicerror(error);
                if (message != nullptr && std::string_view{message}.starts_with(note)) {
                    icalcomponent_remove_property(event, error);
                    icalproperty_free(error);
                    break;
                }
            }
            property = icalproperty_new(text.kind);
            icalcomponent_add_property(event, property);
        }
        if (text.kind == ICAL_URL_PROPERTY) {
            icalproperty_set_url(property, text.value.c_str());
        } else {
            icalproperty_set_value(property, icalvalue_new_text(text.value.c_str()));
        }
    }
}

}  // namespace

std::optional<Component> parseText(std::string text, bool keepZones) {
    quietLibical();
    text = repairUtf8(unfolded(std::move(text)));
    if (!keepZones) {
        text = withoutKnownZones(std::move(text));
    }
    text = tidyLines(text);
    auto readable = readableTimes(text);
    if (!readable) {
        return std::nullopt;
    }
    text = std::move(*readable);
    Component root{icalparser_parse_string(text.c_str())};
    if (!root || icalcomponent_isa(root.get()) != ICAL_VCALENDAR_COMPONENT) {
        return std::nullopt;
    }
    restoreSpaces(root.get(), spacedTexts(text));
    return root;
}

}  // namespace ravu::ical

#include "apply/rrule.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <map>
#include <string>
#include <utility>

#include <date/date.h>

namespace ravu {
namespace {

/// The lower-case characters outside ASCII whose upper case holds ASCII letters, as UTF-8.
/// Only these can change what the parser sees: every other character outside ASCII stays a
/// character that no key, value or weekday code of the subset contains, upper case or not.
/// (The few whose upper case is two letters outside ASCII, such as the Armenian ligatures,
/// are left as one character; at most they turn a refused BYDAY piece into a skipped one.)
constexpr std::array<std::pair<std::string_view, std::string_view>, 17> upperCaseToASCII{{
    {"\u00DF", "SS"},       // ß
    {"\u0131", "I"},        // dotless i
    {"\u0149", "\u02BCN"},  // n preceded by apostrophe
    {"\u017F", "S"},        // long s
    {"\u01F0", "J\u030C"},  // j with caron
    {"\u1E96", "H\u0331"},  // h with line below
    {"\u1E97", "T\u0308"},  // t with diaeresis
    {"\u1E98", "W\u030A"},  // w with ring above
    {"\u1E99", "Y\u030A"},  // y with ring above
    {"\u1E9A", "A\u02BE"},  // a with right half ring
    {"\uFB00", "FF"},       // the Latin ligatures
    {"\uFB01", "FI"},
    {"\uFB02", "FL"},
    {"\uFB03", "FFI"},
    {"\uFB04", "FFL"},
    {"\uFB05", "ST"},
    {"\uFB06", "ST"},
}};

/// Unicode's default (locale-independent) upper case, as far as the parser can tell.
std::string upperCased(std::string_view text) {
    std::string upper;
    upper.reserve(text.size());
    for (std::size_t pos = 0; pos < text.size();) {
        const char c = text[pos];
        if (c >= 'a' && c <= 'z') {
            upper += static_cast<char>(c - 'a' + 'A');
            ++pos;
            continue;
        }
        if (static_cast<unsigned char>(c) >= 0x80) {
            const auto mapped = std::find_if(
                upperCaseToASCII.begin(), upperCaseToASCII.end(),
                [&](const auto& entry) { return text.substr(pos).starts_with(entry.first); });
            if (mapped != upperCaseToASCII.end()) {
                upper += mapped->second;
                pos += mapped->first.size();
                continue;
            }
        }
        upper += c;
        ++pos;
    }
    return upper;
}

/// The code point at `pos`, moving past it; a byte that does not start valid UTF-8 is taken
/// as a character of its own.
char32_t nextCodePoint(std::string_view text, std::size_t& pos) {
    const auto lead = static_cast<unsigned char>(text[pos]);
    std::size_t length = 0;
    if (lead < 0x80) {
        length = 1;
    } else if (lead >> 5 == 0x6) {
        length = 2;
    } else if (lead >> 4 == 0xE) {
        length = 3;
    } else if (lead >> 3 == 0x1E) {
        length = 4;
    }
    if (length == 0 || pos + length > text.size()) {
        ++pos;
        return lead;
    }
    char32_t point = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[pos + i]);
        if (next >> 6 != 0x2) {
            ++pos;
            return lead;
        }
        point = point << 6 | (next & 0x3F);
    }
    pos += length;
    return point;
}

bool isCombiningMark(char32_t point) {
    return (point >= 0x0300 && point <= 0x036F) || (point >= 0x1AB0 && point <= 0x1AFF) ||
           (point >= 0x1DC0 && point <= 0x1DFF) || (point >= 0x20D0 && point <= 0x20FF) ||
           (point >= 0xFE00 && point <= 0xFE0F) || (point >= 0xFE20 && point <= 0xFE2F);
}

/// Characters as a reader counts them: code points, with a combining mark counted as part of
/// the letter before it ("J̌", the upper case of "ǰ", is one character, not two or three bytes).
std::size_t characterCount(std::string_view text) {
    std::size_t count = 0;
    for (std::size_t pos = 0; pos < text.size();) {
        if (!isCombiningMark(nextCodePoint(text, pos)) || count == 0) {
            ++count;
        }
    }
    return count;
}

/// An optional "+" or "-", then ASCII digits only, within 64 bits.
std::optional<std::int64_t> decimalInteger(std::string_view text) {
    std::string_view digits = text;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
        digits.remove_prefix(1);
    }
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::nullopt;
    }
    // from_chars takes a "-" but not a "+".
    const std::string_view number = text.front() == '+' ? digits : text;
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (error != std::errc{} || end != number.data() + number.size()) {
        return std::nullopt;
    }
    return value;
}

/// Splits at each `separator`, leaving out empty pieces.
std::vector<std::string_view> pieces(std::string_view text, char separator) {
    std::vector<std::string_view> result;
    for (std::size_t start = 0; start <= text.size();) {
        const std::size_t end = std::min(text.find(separator, start), text.size());
        if (end > start) {
            result.push_back(text.substr(start, end - start));
        }
        start = end + 1;
    }
    return result;
}

/// Every "RRULE:" taken out in one pass from left to right; what the removals join up is not
/// scanned again.
std::string withoutPrefixes(std::string_view text) {
    constexpr std::string_view prefix = "RRULE:";
    std::string result;
    result.reserve(text.size());
    std::size_t start = 0;
    for (std::size_t found = text.find(prefix); found != std::string_view::npos;
         found = text.find(prefix, start)) {
        result += text.substr(start, found - start);
        start = found + prefix.size();
    }
    result += text.substr(start);
    return result;
}

using RuleParts = std::map<std::string, std::string, std::less<>>;

/// KEY=VALUE pairs between ";". Leading "=" of a segment are skipped, the value runs to the
/// segment's end (so it may hold "="), and a segment without a value counts for nothing.
RuleParts ruleParts(std::string_view text) {
    RuleParts parts;
    for (std::string_view segment : pieces(text, ';')) {
        segment.remove_prefix(std::min(segment.find_first_not_of('='), segment.size()));
        const std::size_t equals = segment.find('=');
        if (equals == std::string_view::npos || equals + 1 == segment.size()) {
            continue;
        }
        parts.insert_or_assign(std::string{segment.substr(0, equals)},
                               std::string{segment.substr(equals + 1)});
    }
    return parts;
}

std::optional<Frequency> frequency(std::string_view word) {
    constexpr std::array<std::pair<std::string_view, Frequency>, 4> words{{
        {"DAILY", Frequency::daily},
        {"WEEKLY", Frequency::weekly},
        {"MONTHLY", Frequency::monthly},
        {"YEARLY", Frequency::yearly},
    }};
    for (const auto& [text, value] : words) {
        if (word == text) {
            return value;
        }
    }
    return std::nullopt;
}

std::optional<Weekday> weekday(std::string_view code) {
    constexpr std::array<std::pair<std::string_view, Weekday>, 7> codes{{
        {"SU", Weekday::sunday},
        {"MO", Weekday::monday},
        {"TU", Weekday::tuesday},
        {"WE", Weekday::wednesday},
        {"TH", Weekday::thursday},
        {"FR", Weekday::friday},
        {"SA", Weekday::saturday},
    }};
    for (const auto& [text, value] : codes) {
        if (code == text) {
            return value;
        }
    }
    return std::nullopt;
}

/// Exactly `width` ASCII digits starting at `pos`.
std::optional<unsigned> fixedDigits(std::string_view text, std::size_t pos, std::size_t width) {
    unsigned value = 0;
    for (std::size_t i = pos; i < pos + width; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<unsigned>(text[i] - '0');
    }
    return value;
}

}  // namespace

std::optional<Instant> parseRRuleUntil(std::string_view value) {
    const bool withTime = value.find('T') != std::string_view::npos;
    if (value.size() != (withTime ? 16u : 8u)) {
        return std::nullopt;
    }
    const auto year = fixedDigits(value, 0, 4);
    const auto month = fixedDigits(value, 4, 2);
    const auto day = fixedDigits(value, 6, 2);
    if (!year || !month || !day) {
        return std::nullopt;
    }
    const date::year_month_day date{date::year{static_cast<int>(*year)}, date::month{*month},
                                    date::day{*day}};
    if (!date.ok()) {
        return std::nullopt;
    }
    Instant instant{date::sys_days{date}};
    if (!withTime) {
        return instant;
    }
    if (value[8] != 'T' || value[15] != 'Z') {
        return std::nullopt;
    }
    const auto hour = fixedDigits(value, 9, 2);
    const auto minute = fixedDigits(value, 11, 2);
    const auto second = fixedDigits(value, 13, 2);
    if (!hour || !minute || !second || *hour > 23 || *minute > 59 || *second > 59) {
        return std::nullopt;
    }
    return instant + std::chrono::hours{*hour} + std::chrono::minutes{*minute} +
           std::chrono::seconds{*second};
}

std::optional<RecurrenceRule> ekRecurrence(std::string_view text) {
    const RuleParts parts = ruleParts(withoutPrefixes(upperCased(text)));
    auto part = [&](std::string_view key) -> std::optional<std::string_view> {
        const auto found = parts.find(key);
        if (found == parts.end()) {
            return std::nullopt;
        }
        return found->second;
    };

    const auto freq = part("FREQ");
    if (!freq) {
        return std::nullopt;
    }
    RecurrenceRule rule;
    if (const auto known = frequency(*freq)) {
        rule.frequency = *known;
    } else {
        return std::nullopt;
    }
    rule.interval =
        std::max<std::int64_t>(decimalInteger(part("INTERVAL").value_or("1")).value_or(1), 1);

    // Set positions and days of the month cannot be written: better no rule than another one.
    if (part("BYSETPOS") || part("BYMONTHDAY")) {
        return std::nullopt;
    }
    if (const auto byDay = part("BYDAY")) {
        const auto codes = pieces(*byDay, ',');
        // Three characters or more is a week number before the day (-1FR, 2MO).
        for (std::string_view code : codes) {
            if (characterCount(code) >= 3) {
                return std::nullopt;
            }
        }
        for (std::string_view code : codes) {
            if (const auto day = weekday(code)) {
                rule.daysOfTheWeek.push_back(*day);
            }
        }
    }

    const auto count = part("COUNT");
    const auto until = part("UNTIL");
    if (const auto number = count ? decimalInteger(*count) : std::nullopt) {
        rule.end = OccurrenceCount{*number};
    } else if (const auto instant = until ? parseRRuleUntil(*until) : std::nullopt) {
        rule.end = *instant;
    }
    return rule;
}

}  // namespace ravu

#include "convert/time.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <map>
#include <memory>
#include <mutex>

// The zone's own parts, which a zone made here has to be able to destroy.
#include <date/tz_private.h>

namespace ravu {
namespace {

using std::chrono::microseconds;
using std::chrono::seconds;

/// Reads exactly `width` ASCII digits at `pos`, moving past them.
std::optional<int> digits(std::string_view text, std::size_t& pos, std::size_t width) {
    if (pos + width > text.size()) {
        return std::nullopt;
    }
    int value = 0;
    for (std::size_t i = 0; i < width; ++i) {
        const char c = text[pos + i];
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
    }
    pos += width;
    return value;
}

bool expect(std::string_view text, std::size_t& pos, char c) {
    if (pos < text.size() && text[pos] == c) {
        ++pos;
        return true;
    }
    return false;
}

bool isZoneNameChar(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '/' ||
           c == '_' || c == '-' || c == '+';
}

/// The zone of that name in the zone database, when its file is a zone file; none for anything
/// else, and for the names the library leaves out of its list, which it is then asked for. The
/// date library's look-up lists the whole database first (about 1,800 files, most of the time
/// of a `status` run).
std::unique_ptr<TimeZone> zoneFromFile(std::string_view name) {
    const std::string_view top = name.substr(0, name.find('/'));
    if (top.starts_with("posix") || top == "right" || top == "Factory") {
        return nullptr;
    }
    const std::string path = "/usr/share/zoneinfo/" + std::string{name};
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    struct stat info {};
    char magic[4] = {};
    const bool zoneFile = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
                          ::read(fd, magic, sizeof magic) == sizeof magic &&
                          std::string_view{magic, sizeof magic} == "TZif";
    ::close(fd);
    if (!zoneFile) {
        return nullptr;
    }
    // The library reads the file when the zone is first used, and only then lists the database
    // (for its leap seconds): a run that never converts a time never pays for either.
    return std::make_unique<TimeZone>(std::string{name}, date::detail::undocumented{});
}

/// Appends `value` as `width` decimal digits.
void appendDigits(std::string& text, unsigned value, int width) {
    char digits[4];
    for (int i = width - 1; i >= 0; --i, value /= 10) {
        digits[i] = static_cast<char>('0' + value % 10);
    }
    text.append(digits, static_cast<std::size_t>(width));
}

/// "yyyy-MM-dd" of a civil day. Formatted by hand: the date library's stream-based formatter,
/// and even printf, cost more than everything else a snapshot does per event.
std::string formatDay(date::sys_days day, std::size_t extra = 0) {
    const date::year_month_day ymd{day};
    const int year = static_cast<int>(ymd.year());
    std::string text;
    text.reserve(10 + extra);
    if (year >= 0 && year <= 9999) {
        appendDigits(text, static_cast<unsigned>(year), 4);
    } else {
        char digits[16];
        text.append(digits,
                    static_cast<std::size_t>(std::snprintf(digits, sizeof digits, "%04d", year)));
    }
    text += '-';
    appendDigits(text, static_cast<unsigned>(ymd.month()), 2);
    text += '-';
    appendDigits(text, static_cast<unsigned>(ymd.day()), 2);
    return text;
}

}  // namespace

std::string iso(Instant instant) {
    const auto second = date::floor<seconds>(instant);
    const auto day = date::floor<date::days>(second);
    const date::hh_mm_ss time{second - day};
    std::string text = formatDay(day, 10);
    text += 'T';
    appendDigits(text, static_cast<unsigned>(time.hours().count()), 2);
    text += ':';
    appendDigits(text, static_cast<unsigned>(time.minutes().count()), 2);
    text += ':';
    appendDigits(text, static_cast<unsigned>(time.seconds().count()), 2);
    text += 'Z';
    return text;
}

std::optional<Instant> parseISO(std::string_view text) {
    std::size_t pos = 0;
    const auto year = digits(text, pos, 4);
    if (!year || !expect(text, pos, '-')) {
        return std::nullopt;
    }
    const auto month = digits(text, pos, 2);
    if (!month || !expect(text, pos, '-')) {
        return std::nullopt;
    }
    const auto day = digits(text, pos, 2);
    if (!day || !expect(text, pos, 'T')) {
        return std::nullopt;
    }
    const auto hour = digits(text, pos, 2);
    if (!hour || !expect(text, pos, ':')) {
        return std::nullopt;
    }
    const auto minute = digits(text, pos, 2);
    if (!minute || !expect(text, pos, ':')) {
        return std::nullopt;
    }
    const auto second = digits(text, pos, 2);
    if (!second) {
        return std::nullopt;
    }

    microseconds fraction{0};
    if (expect(text, pos, '.')) {
        const std::size_t first = pos;
        std::int64_t micros = 0;
        bool beyondMicros = false;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
            const std::size_t place = pos - first;
            if (place < 6) {
                micros = micros * 10 + (text[pos] - '0');
            } else if (text[pos] != '0') {
                beyondMicros = true;
            }
            ++pos;
        }
        if (pos == first) {
            return std::nullopt;
        }
        for (std::size_t place = pos - first; place < 6; ++place) {
            micros *= 10;
        }
        // A fraction finer than a microsecond still makes the instant lie after the second.
        fraction = microseconds{micros + (beyondMicros ? 1 : 0)};
    }

    seconds offset{0};
    if (expect(text, pos, 'Z')) {
    } else if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        const bool negative = text[pos] == '-';
        ++pos;
        const auto offsetHours = digits(text, pos, 2);
        if (!offsetHours || !expect(text, pos, ':')) {
            return std::nullopt;
        }
        const auto offsetMinutes = digits(text, pos, 2);
        if (!offsetMinutes || *offsetHours > 23 || *offsetMinutes > 59) {
            return std::nullopt;
        }
        offset = std::chrono::hours{*offsetHours} + std::chrono::minutes{*offsetMinutes};
        if (negative) {
            offset = -offset;
        }
    } else {
        return std::nullopt;
    }
    if (pos != text.size()) {
        return std::nullopt;
    }

    const date::year_month_day ymd{date::year{*year}, date::month(static_cast<unsigned>(*month)),
                                   date::day(static_cast<unsigned>(*day))};
    if (!ymd.ok() || *hour > 23 || *minute > 59 || *second > 59) {
        return std::nullopt;
    }
    const auto wall = date::sys_days{ymd} + std::chrono::hours{*hour} +
                      std::chrono::minutes{*minute} + seconds{*second};
    const Instant instant{date::floor<microseconds>(wall - offset) + fraction};
    // An offset can carry year 0000 or 9999 across the edge of the four-digit years, which
    // `iso` could then not write back in the same form.
    const date::year utcYear = date::year_month_day{date::floor<date::days>(instant)}.year();
    if (utcYear < date::year{0} || utcYear > date::year{9999}) {
        return std::nullopt;
    }
    return instant;
}

std::string dayString(Instant instant, const TimeZone& zone) {
    const auto local = date::floor<date::days>(localTime(instant, zone));
    return formatDay(date::sys_days{local.time_since_epoch()});
}

std::optional<std::string> utcDayKey(Instant instant) {
    if (instant.time_since_epoch() % date::days{1} != microseconds{0}) {
        return std::nullopt;
    }
    return dayString(instant, utcZone());
}

const TimeZone& utcZone() {
    static const TimeZone* const zone = findZone("UTC");
    return zone != nullptr ? *zone : *date::locate_zone("UTC");
}

bool isZoneName(std::string_view name) {
    // Zone names become paths below the zone database: no "..", no absolute path, no empty
    // segment, and only the characters the database's names use.
    return !name.empty() && name.size() <= 64 && name.front() != '/' && name.back() != '/' &&
           name.find("..") == std::string_view::npos && name.find("//") == std::string_view::npos &&
           std::all_of(name.begin(), name.end(), isZoneNameChar);
}

const TimeZone* findZone(std::string_view name) {
    if (!isZoneName(name)) {
        return nullptr;
    }
    // Zones found are kept for the run, so that one name is always the same zone. Names that
    // name none are not kept: a store file can hold any number of them.
    static std::mutex guard;
    static std::map<std::string, std::unique_ptr<TimeZone>, std::less<>> read;
    static std::map<std::string, const TimeZone*, std::less<>> known;
    const std::lock_guard lock{guard};
    if (const auto found = known.find(name); found != known.end()) {
        return found->second;
    }
    const TimeZone* zone = nullptr;
    if (auto own = zoneFromFile(name)) {
        zone = read.emplace(std::string{name}, std::move(own)).first->second.get();
    } else {
        try {
            zone = date::locate_zone(name);
        } catch (const std::exception&) {
            return nullptr;
        }
    }
    known.emplace(std::string{name}, zone);
    return zone;
}

date::local_time<microseconds> localTime(Instant instant, const TimeZone& zone) {
    return zone.to_local(instant);
}

Instant fromLocal(date::local_time<microseconds> local, const TimeZone& zone) {
    const auto info = zone.get_info(date::floor<seconds>(local));
    // For a wall time in a gap `first` holds the offset in force before it, which moves the
    // time forward by the gap; in an overlap `first` is the earlier of the two instants.
    return Instant{local.time_since_epoch() - info.first.offset};
}

Instant addDays(Instant instant, int days, const TimeZone& zone) {
    return fromLocal(localTime(instant, zone) + date::days{days}, zone);
}

std::optional<Instant> startOfDay(int year, unsigned month, unsigned day, const TimeZone& zone) {
    const date::year_month_day ymd{date::year{year}, date::month{month}, date::day{day}};
    if (!ymd.ok()) {
        return std::nullopt;
    }
    const date::local_seconds midnight{date::local_days{ymd}.time_since_epoch()};
    const auto info = zone.get_info(midnight);
    if (info.result == date::local_info::nonexistent) {
        return Instant{info.first.end};
    }
    return Instant{midnight.time_since_epoch() - info.first.offset};
}

bool sameDay(Instant a, Instant b, const TimeZone& zone) {
    return date::floor<date::days>(localTime(a, zone)) ==
           date::floor<date::days>(localTime(b, zone));
}

}  // namespace ravu

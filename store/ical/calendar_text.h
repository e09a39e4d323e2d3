// Calendar text cut into the parts a calendar service keeps apart: a service that stores each
// changed occurrence of a series as an item of its own (Akonadi) hands out one calendar per part
// and takes one calendar per part back. Only the text's structure is read here, never a value.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace ravu::ical {

/// The UID of the text's first event, unfolded; empty when it has none.
std::string uidOf(std::string_view text);

/// The occurrence the text's first event changes, as `byOccurrence` names it.
std::string occurrenceOf(std::string_view text);

/// One calendar holding every event of the texts, and each zone once (by TZID).
std::string joined(const std::vector<std::string_view>& texts);

/// Each event of the text as a calendar of its own with the text's zones, by the occurrence it
/// changes: "" for the series or single event, else the RECURRENCE-ID's value and zone.
std::map<std::string, std::string> byOccurrence(std::string_view text);

}  // namespace ravu::ical

// Reading the directory store: calendars, events and occurrences.
#include "store/vdir_store.h"

namespace ravu {

std::vector<Calendar> VdirStore::calendars() const {
    return {};
}

std::vector<Event> VdirStore::eventsMatching(const EventPredicate&) const {
    return {};
}

std::optional<Event> VdirStore::calendarItemWithIdentifier(std::string_view) const {
    return std::nullopt;
}

}  // namespace ravu

// Writing the directory store: saving and removing events and occurrences.
#include "store/vdir_store.h"

namespace ravu {

Event VdirStore::newEvent() {
    return Event{};
}

WriteError VdirStore::saveEvent(Event&, Span) {
    return StoreError{"saving is not available yet"};
}

WriteError VdirStore::removeEvent(const Event&, Span) {
    return StoreError{"removing is not available yet"};
}

std::optional<Instant> VdirStore::lastModifiedBeforeThisRun(const Event&) const {
    return std::nullopt;
}

}  // namespace ravu

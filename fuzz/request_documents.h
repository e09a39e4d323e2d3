// The snapshot and apply documents that request bytes from a host give over a small in-memory
// store: what the request fuzz target checks, and what the schema check validates.
#pragma once

#include <sstream>
#include <string>
#include <string_view>
#include <utility>

#include "apply/apply.h"
#include "cli/json_channel.h"
#include "convert/time.h"
#include "snapshot/snapshot.h"
#include "tests/support/memory_store.h"

namespace ravu::fuzzing {

inline testing::MemoryStore makeStore(Instant now) {
    using namespace std::chrono_literals;
    testing::MemoryStore store;
    store.addCalendar({"c1", "Home", true, std::vector<double>{0.1, 0.2, 0.3, 1.0},
                       Source{"", SourceType::local}});
    store.addCalendar({"c2", "Feed", false, std::nullopt, std::nullopt});
    Event event;
    event.calendarId = "c1";
    event.title = "Standup";
    event.startDate = now + 1h;
    event.endDate = now + 2h;
    event.url = "ravu://item/i1";
    event.lastModified = now - 24h;
    store.addEvent(event);
    for (int i = 0; i < 3; ++i) {
        Event occurrence = event;
        occurrence.identifier = "series";
        occurrence.url.reset();
        occurrence.startDate = now + std::chrono::hours{24 * i};
        occurrence.endDate = *occurrence.startDate + 30min;
        occurrence.occurrenceDate = occurrence.startDate;
        store.rows.push_back(occurrence);
    }
    store.items["series"] = store.rows.back();
    return store;
}

/// The snapshot document as written piece by piece, and the apply document.
inline std::pair<std::string, std::string> requestDocuments(std::string_view bytes) {
    const Json request = parseRequest(bytes);
    const Instant now = *parseISO("2024-05-01T12:00:00Z");
    auto store = makeStore(now);
    std::ostringstream diagnostics;
    Context context{store, diagnostics, now, utcZone()};
    std::string snapshot;
    cmdSnapshot(context, request, [&](std::string_view text) { snapshot += text; });
    return {snapshot, serializeDocument(cmdApply(context, request))};
}

}  // namespace ravu::fuzzing

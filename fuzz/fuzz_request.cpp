// Request bytes from the host, through the reader and the snapshot and apply commands over an
// in-memory store: every input gives a document that can be printed.
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string_view>

#include "apply/apply.h"
#include "cli/json_channel.h"
#include "convert/time.h"
#include "snapshot/snapshot.h"
#include "tests/support/memory_store.h"

namespace {

ravu::testing::MemoryStore makeStore(ravu::Instant now) {
    using namespace std::chrono_literals;
    ravu::testing::MemoryStore store;
    store.addCalendar({"c1", "Home", true, std::vector<double>{0.1, 0.2, 0.3, 1.0},
                       ravu::Source{"", ravu::SourceType::local}});
    store.addCalendar({"c2", "Feed", false, std::nullopt, std::nullopt});
    ravu::Event event;
    event.calendarId = "c1";
    event.title = "Standup";
    event.startDate = now + 1h;
    event.endDate = now + 2h;
    event.url = "ravu://item/i1";
    event.lastModified = now - 24h;
    store.addEvent(event);
    for (int i = 0; i < 3; ++i) {
        ravu::Event occurrence = event;
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes{reinterpret_cast<const char*>(data), size};
    const ravu::Json request = ravu::parseRequest(bytes);
    const ravu::Instant now = *ravu::parseISO("2024-05-01T12:00:00Z");

    auto store = makeStore(now);
    std::ostringstream diagnostics;
    ravu::Context context{store, diagnostics, now, ravu::utcZone()};
    std::string snapshot;
    ravu::cmdSnapshot(context, request, [&](std::string_view text) { snapshot += text; });
    // Written piece by piece, the document must still be JSON, and the one the tree would print.
    if (snapshot != ravu::serializeDocument(ravu::Json::parse(snapshot)) ||
        ravu::serializeDocument(ravu::cmdApply(context, request)).empty()) {
        std::abort();
    }
    return 0;
}

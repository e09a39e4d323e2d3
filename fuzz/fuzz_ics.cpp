// One item, whatever a peer or a damaged disk put in it: reading it and expanding its
// occurrences over a window never crashes and never runs away.
#include <cstdint>
#include <string>

#include "convert/time.h"
#include "store/ical/item.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace ravu;
    static const TimeZone& berlin = *findZone("Europe/Berlin");
    static const Instant start = *parseISO("2024-01-01T00:00:00Z");
    const std::string text{reinterpret_cast<const char*>(data), size};
    for (const auto keep : {ical::Keep::model, ical::Keep::tree}) {
        auto item =
            ical::Item::parse(text, {"s/c/item", "s/c", start, "s/c/item.ics"}, berlin, keep);
        if (item) {
            std::vector<Event> found;
            (void)item->occurrences(start, addDays(start, 430, berlin), found);
        }
    }
    return 0;
}

// Instant text from the host: parsing never fails loudly, and what parses prints back the same.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "convert/time.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text{reinterpret_cast<const char*>(data), size};
    if (const auto instant = ravu::parseISO(text)) {
        const std::string written = ravu::iso(*instant);
        const auto again = ravu::parseISO(written);
        if (!again || ravu::iso(*again) != written) {
            std::abort();
        }
        (void)ravu::utcDayKey(*instant);
        (void)ravu::dayString(*instant, ravu::utcZone());
    }
    return 0;
}

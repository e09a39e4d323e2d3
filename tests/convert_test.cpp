// Instants and marker URLs as text: the edges where a host's text is read or refused.
#include <gtest/gtest.h>

#include "convert/marker.h"
#include "convert/time.h"
#include "tests/support/instants.h"

namespace ravu {
namespace {

using testing::at;
using namespace std::chrono_literals;

TEST(ParseISO, ReadsTheInternetFormsOnly) {
    EXPECT_EQ(at("2024-05-01T12:00:00.123Z") - at("2024-05-01T12:00:00Z"), 123ms);
    EXPECT_EQ(at("2024-05-01T00:30:00-05:30"), at("2024-05-01T06:00:00Z"));
    EXPECT_EQ(at("2024-02-29T00:00:00Z") + 24h, at("2024-03-01T00:00:00Z"));
    for (const char* text :
         {"", "2024-05-01", "2024-05-01T12:00:00", "2024-05-01T12:00Z", "2024-05-01 12:00:00Z",
          "2024-05-01T12:00:00.Z", "2024-05-01T12:00:00+0200", "2024-05-01T12:00:00Zjunk",
          "2023-02-29T12:00:00Z", "2024-05-01T24:00:00Z", "2024-05-01t12:00:00z",
          "+2024-05-01T12:00:00Z", "2024-05-01T12:00:00+24:00",
          // Found by fuzzing: offsets that move the instant out of the four-digit years.
          "0000-01-01T00:28:00+01:10", "9999-12-31T23:30:00-01:00"}) {
        EXPECT_FALSE(parseISO(text)) << text;
    }
}

TEST(Iso, WritesUtcWithWholeSeconds) {
    EXPECT_EQ(iso(at("2024-05-01T14:00:00.900+02:00")), "2024-05-01T12:00:00Z");
    EXPECT_EQ(iso(at("1969-12-31T23:59:59.5Z")), "1969-12-31T23:59:59Z");
}

TEST(UtcDayKey, OnlyExactUtcMidnights) {
    EXPECT_EQ(utcDayKey(at("1969-12-31T00:00:00Z")), "1969-12-31");
    for (const char* text :
         {"2024-05-01T00:00:00.000001Z", "2024-05-01T12:00:00Z", "2024-05-01T00:00:00+02:00"}) {
        EXPECT_FALSE(utcDayKey(at(text))) << text;
    }
}

TEST(Marker, ReadsOnlyTheExactPrefix) {
    EXPECT_EQ(markerItemId(markerURL("a/b?c=1 üñí")), "a/b?c=1 üñí");
    for (const char* url : {"ravu://item/", "RAVU://item/abc", "ravu://items/abc",
                            "https://example.org/ravu://item/abc"}) {
        EXPECT_FALSE(markerItemId(url)) << url;
    }
    EXPECT_FALSE(markerItemId(std::nullopt));
    for (const char* id : {"a\nb", "nul\x01", "del\x7f", "nel\xc2\x85", "line\xe2\x80\xa8sep"}) {
        EXPECT_FALSE(markerURL(id)) << id;
    }
}

}  // namespace
}  // namespace ravu

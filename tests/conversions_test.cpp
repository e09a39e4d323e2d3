// Text read from the host or written for it, one function at a time: tests/cases/conversions.json
// gives each function rows of an input and what it must give, null where it must refuse.
#include <gtest/gtest.h>

#include <functional>
#include <limits>

#include <date/date.h>

#include "apply/rrule.h"
#include "catalogue/catalogue.h"
#include "cli/json_channel.h"
#include "convert/marker.h"
#include "tests/support/instants.h"
#include "tests/support/process.h"

namespace ravu::testing {
namespace {

Json exact(const std::optional<Instant>& instant) {
    return instant ? Json(date::format("%FT%TZ", *instant)) : Json();
}

template <typename T>
std::optional<T> unlessNull(const Json& value) {
    return value.is_null() ? std::nullopt : std::optional{value.get<T>()};
}

/// What each function gives for one input, as the rows write it.
const std::map<std::string, std::function<Json(const Json&)>> functions{
    {"parseISO", [](const Json& in) { return exact(parseISO(in.get<std::string>())); }},
    {"iso", [](const Json& in) { return Json(iso(at(in.get<std::string>()))); }},
    {"utcDayKey", [](const Json& in) { return orNull(utcDayKey(at(in.get<std::string>()))); }},
    {"markerURL", [](const Json& in) { return orNull(markerURL(in.get<std::string>())); }},
    {"markerItemId",
     [](const Json& in) { return orNull(markerItemId(unlessNull<std::string>(in))); }},
    {"parseRRuleUntil",
     [](const Json& in) { return exact(parseRRuleUntil(in.get<std::string>())); }},
    {"parseRequest", [](const Json& in) { return parseRequest(in.get<std::string>()); }},
    {"serializeDocument", [](const Json& in) { return Json(serializeDocument(in)); }},
    {"logicalKey",
     [](const Json& in) {
         const auto source = in.is_null()
                                 ? std::nullopt
                                 : std::optional{Source{in[1], SourceType{in[0].get<int>()}}};
         return Json(logicalKey(Calendar{"id", "T", true, std::nullopt, source}));
     }},
    {"hex", [](const Json& in) { return orNull(hex(unlessNull<std::vector<double>>(in))); }},
};

TEST(Conversions, GiveWhatEachRowExpects) {
    const Json table = Json::parse(
        readFile(std::filesystem::path{RAVU_SOURCE_DIR} / "tests/cases/conversions.json"));
    for (const auto& [name, function] : functions) {
        ASSERT_TRUE(table.contains(name)) << name;
        for (const Json& row : table[name]) {
            EXPECT_EQ(function(row[0]), row[1]) << name << " " << row[0];
        }
    }
    for (const Json& row : table["ekRecurrence"]) {
        const auto expected = row[1].is_null() ? std::nullopt : std::optional{ruleOf(row[1])};
        EXPECT_EQ(ekRecurrence(row[0].get<std::string>()), expected) << row[0];
    }
}

TEST(Conversions, WhatNoDataFileHolds) {
    const std::string deep = "{\"a\":" + std::string(100000, '[') + std::string(100000, ']') + "}";
    EXPECT_EQ(parseRequest(deep), Json::object()) << "too deep is unreadable, not a crash";
    EXPECT_EQ(parseRequest("{\"a\":\"\xff\"}"), Json::object());
    EXPECT_EQ(hex(std::vector{0.0, std::numeric_limits<double>::quiet_NaN(), 0.0}), std::nullopt);
    EXPECT_EQ(serializeDocument(Json{{"t", std::string{"a\xff"}}}), "{\"t\":\"a\xef\xbf\xbd\"}")
        << "bad UTF-8 becomes the replacement character";
}

}  // namespace
}  // namespace ravu::testing

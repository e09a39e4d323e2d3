// The format layer's edits, one case per file of tests/cases/edits/: an item, a save or a
// removal, and the lines the item must then hold. What an edit leaves alone is the item's own
// business and is not listed.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include <nlohmann/json.hpp>

#include "store/ical/item.h"
#include "tests/support/instants.h"
#include "tests/support/process.h"

namespace ravu::testing {
namespace {

using Json = nlohmann::json;
using Lines = std::vector<std::string>;
namespace fs = std::filesystem;

const fs::path cases = fs::path{RAVU_SOURCE_DIR} / "tests/cases/edits";

/// The unfolded lines of the text that hold the property `name`, outside the observances of
/// VTIMEZONEs.
Lines linesNamed(const std::string& text, const std::string& name) {
    Lines found;
    bool observance = false;
    for (std::string line : linesOf(filled(text, {{"\r\n ", ""}}))) {
        line.pop_back();  // the CR
        observance = line == "BEGIN:STANDARD" || line == "BEGIN:DAYLIGHT" ||
                     (observance && line != "END:STANDARD" && line != "END:DAYLIGHT");
        if (!observance && (line.starts_with(name + ":") || line.starts_with(name + ";"))) {
            found.push_back(line);
        }
    }
    return found;
}

std::string calendarText(const Json& lines) {
    std::string text = "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//test//EN\r\n";
    for (const Json& line : lines) {
        text += line.get<std::string>() + "\r\n";
    }
    return text + "END:VCALENDAR\r\n";
}

/// The occurrence of the item that starts at `start`.
Event occurrenceAt(const ical::Item& item, Instant start) {
    std::vector<Event> found;
    EXPECT_TRUE(item.occurrences(start, start + std::chrono::seconds{1}, found));
    for (const Event& event : found) {
        if (event.occurrenceDate == start) {
            return event;
        }
    }
    ADD_FAILURE() << "no occurrence at " << iso(start);
    return Event{};
}

Changes changesOf(const Json& names) {
    const auto has = [&](const char* name) {
        return std::count(names.begin(), names.end(), name) > 0;
    };
    return {has("title"), has("location"), has("url"), has("times"), has("recurrence")};
}

/// Carries out one step of a case on the item's text and checks it; then the steps after it.
void check(const std::string& text, const Json& step, const TimeZone& user) {
    auto item =
        ical::Item::parse(text, {"s/c/item", "s/c", std::nullopt, "item"}, user, ical::Keep::tree);
    ASSERT_TRUE(item) << text;
    const Instant now = at("2024-04-01T00:00:00Z");
    const auto instant = [](const Json& at, const char* name) {
        return at.contains(name) ? std::optional{testing::at(at[name].get<std::string>())}
                                 : std::nullopt;
    };
    ical::EditResult result;
    if (step.contains("save")) {
        const Json& save = step["save"];
        const auto named = instant(save, "occurrence");
        Event event = named ? occurrenceAt(*item, *named) : item->event();
        if (save.contains("title")) {
            event.title = save["title"];
        }
        event.allDay = save.value("allDay", event.allDay);
        event.startDate = save.contains("start") ? instant(save, "start") : event.startDate;
        event.endDate = save.contains("end") ? instant(save, "end") : event.endDate;
        if (save.contains("rule")) {
            event.recurrenceRules = {ruleOf(save["rule"])};
        }
        result = item->save(event, named ? Span::thisEvent : Span::futureEvents,
                            changesOf(save["changes"]), now);
    } else {
        // An overridden occurrence may have moved away from the start that names it.
        Event event = item->event();
        event.occurrenceDate = instant(step, "occurrence");
        result = item->remove(
            event, step["remove"] == "future" ? Span::futureEvents : Span::thisEvent, now);
    }
    ASSERT_FALSE(std::holds_alternative<StoreError>(result))
        << std::get<StoreError>(result).message;
    const auto outcome = std::get<ical::Outcome>(result);
    EXPECT_EQ(outcome == ical::Outcome::unchanged ? "unchanged" : "changed",
              step.value("outcome", std::string{"changed"}));
    const std::string after = item->text();
    const Json expected = step.value("expect", Json::object());
    for (const auto& [name, lines] : expected.items()) {
        EXPECT_EQ(linesNamed(after, name), lines.get<Lines>()) << name << " in\n" << after;
    }
    if (step.contains("then")) {
        check(after, step["then"], user);
    }
}

class ItemEdit : public ::testing::TestWithParam<fs::path> {};

TEST_P(ItemEdit, LeavesTheLinesTheCaseExpects) {
    const Json step = Json::parse(readFile(GetParam()));
    SCOPED_TRACE(step.value("why", ""));
    check(calendarText(step["item"]), step, zone(step.value("zone", "UTC")));
}

INSTANTIATE_TEST_SUITE_P(Cases, ItemEdit, ::testing::ValuesIn(listed(cases)),
                         [](const auto& info) { return testName(info.param.stem().string()); });

}  // namespace
}  // namespace ravu::testing

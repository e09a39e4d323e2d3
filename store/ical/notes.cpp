// The notes libical leaves in a tree (X-LIC-ERROR) where it could not read a value: what they
// are about, and whether an event lost something it cannot be read without.
#include <algorithm>

#include "store/ical/model.h"

namespace ravu::ical {
namespace {

/// The property name an X-LIC-ERROR is about: libical writes "Can't parse as <type> value in
/// <NAME> property. ..." and "No value for <NAME> property. ...".
std::string_view errorSubject(std::string_view message) {
    const std::size_t end = message.find(" property.");
    if (end == std::string_view::npos) {
        return {};
    }
    const std::size_t begin = message.rfind(' ', end - 1);
    return message.substr(begin == std::string_view::npos ? 0 : begin + 1,
                          end - (begin == std::string_view::npos ? 0 : begin + 1));
}

std::vector<std::string> errorsOf(icalcomponent* component) {
    std::vector<std::string> messages;
    for (icalproperty* error : propertiesOf(component, ICAL_XLICERROR_PROPERTY)) {
        if (const char* message = icalproperty_get_xlicerror(error)) {
            messages.emplace_back(message);
        }
    }
    return messages;
}

/// Whether libical dropped a property with one of these names for a value it could not read.
bool lost(icalcomponent* component, std::initializer_list<std::string_view> names) {
    const auto errors = errorsOf(component);
    return std::any_of(errors.begin(), errors.end(), [&](const std::string& message) {
        return std::find(names.begin(), names.end(), errorSubject(message)) != names.end();
    });
}

int countErrors(icalcomponent* component) {
    int count = icalcomponent_count_properties(component, ICAL_XLICERROR_PROPERTY);
    for (icalcomponent* child = icalcomponent_get_first_component(component, ICAL_ANY_COMPONENT);
         child != nullptr;
         child = icalcomponent_get_next_component(component, ICAL_ANY_COMPONENT)) {
        count += countErrors(child);
    }
    return count;
}

}  // namespace

bool droppedEmpty(icalcomponent* component, std::string_view name) {
    const auto errors = errorsOf(component);
    return std::any_of(errors.begin(), errors.end(), [&](const std::string& message) {
        return message.starts_with("No value for ") && errorSubject(message) == name;
    });
}

bool lostTiming(icalcomponent* component) {
    return lost(component, {"DTSTART", "DTEND", "DURATION", "RECURRENCE-ID"});
}

bool lostRepetition(icalcomponent* component) {
    return lost(component, {"RRULE", "RDATE", "EXRULE"});
}

int errorCount(icalcomponent* root) {
    return countErrors(root);
}

}  // namespace ravu::ical

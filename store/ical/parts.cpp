#include "store/ical/parts.h"

#include <algorithm>
#include <cstdlib>
#include <map>

#include "store/ical/model.h"

namespace ravu::ical {
namespace {

bool isEvent(icalcomponent* component) {
    return component != nullptr && icalcomponent_isa(component) == ICAL_VEVENT_COMPONENT;
}

bool changesOccurrence(icalcomponent* event) {
    return icalcomponent_get_first_property(event, ICAL_RECURRENCEID_PROPERTY) != nullptr;
}

std::string textOf(icalcomponent* component) {
    char* text = icalcomponent_as_ical_string_r(component);
    std::string result = text != nullptr ? text : "";
    std::free(text);
    return result;
}

}  // namespace

std::string ComponentRef::uid() const {
    return native_ != nullptr ? uidOf(native_) : "";
}

std::string ComponentRef::recurrenceId() const {
    icalproperty* id =
        native_ ? icalcomponent_get_first_property(native_, ICAL_RECURRENCEID_PROPERTY) : nullptr;
    if (id == nullptr) {
        return {};
    }
    const std::string tzid = tzidOf(id);
    return valueText(id) + (tzid.empty() ? "" : " " + tzid);
}

std::string versionOf(const std::vector<ComponentRef>& parts) {
    std::string version;
    for (const ComponentRef part : parts) {
        version += part.recurrenceId();
        for (const icalproperty_kind kind : {ICAL_LASTMODIFIED_PROPERTY, ICAL_SEQUENCE_PROPERTY}) {
            if (icalproperty* stamp = icalcomponent_get_first_property(part.native(), kind)) {
                version += valueText(stamp);
            }
            version += ';';
        }
    }
    return version;
}

PartChanges Item::changedSince(const std::vector<ComponentRef>& before) const {
    // Each part read by the occurrence it changes, with its text.
    std::map<std::string, std::pair<std::size_t, std::string>> read;
    for (std::size_t i = 0; i < before.size(); ++i) {
        if (isEvent(before[i].native())) {
            read[before[i].recurrenceId()] = {i, textOf(before[i].native())};
        }
    }
    PartChanges changes;
    if (!model_->root) {
        return changes;
    }
    std::vector<icalcomponent*> parts = eventsOf(model_->root.get());
    std::stable_partition(parts.begin(), parts.end(),
                          [](icalcomponent* part) { return !changesOccurrence(part); });
    std::vector<std::string> kept;
    for (icalcomponent* part : parts) {
        const std::string occurrence = ComponentRef{part}.recurrenceId();
        std::string text = textOf(part);
        kept.push_back(occurrence);
        if (const auto was = read.find(occurrence);
            was == read.end() || was->second.second != text) {
            changes.written.push_back({std::move(text), changesOccurrence(part)});
        }
    }
    for (const auto& [occurrence, was] : read) {
        if (!occurrence.empty() && std::find(kept.begin(), kept.end(), occurrence) == kept.end()) {
            changes.dropped.push_back(was.first);
        }
    }
    return changes;
}

}  // namespace ravu::ical

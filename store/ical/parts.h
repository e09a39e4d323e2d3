// An item as a calendar service keeps it: in parts, one component per VEVENT (the series or
// single event, and each occurrence changed on its own), handed out and taken back whole.
//
// The service's client library wraps the components in types of its own; its store unwraps them
// and hands this layer the libical components themselves, as `ComponentRef`, a typed handle that
// nothing outside this layer looks into. What goes back is each changed part as text, which the
// store gives the service in the service's own type.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// libical's component, complete only inside this layer.
struct icalcomponent_impl;
using icalcomponent = icalcomponent_impl;

namespace ravu::ical {

/// A libical component borrowed from whoever owns it: a VEVENT of an item, or a VTIMEZONE.
class ComponentRef {
  public:
    using native_type = icalcomponent*;

    ComponentRef() = default;
    explicit ComponentRef(native_type native) : native_{native} {}

    native_type native() const { return native_; }
    explicit operator bool() const { return native_ != nullptr; }

    /// Its UID; empty when it has none.
    std::string uid() const;
    /// The occurrence it changes: its RECURRENCE-ID's value as written, and the TZID with it.
    /// Empty for the series or single event.
    std::string recurrenceId() const;

  private:
    native_type native_ = nullptr;
};

/// The version of an item as the service stamps its parts: the LAST-MODIFIED and SEQUENCE of
/// each. Any change by any client changes it.
std::string versionOf(const std::vector<ComponentRef>& parts);

/// A part of an item to be written back whole: its VEVENT as iCalendar text.
struct ChangedPart {
    std::string text;
    bool occurrence = false;  ///< it changes one occurrence; else it is the series or single event
};

/// What an edit changed in an item, against the parts it was read from.
struct PartChanges {
    /// The parts that are new or differ, the series or single event first: the service fits the
    /// changed occurrences into the series as it stands.
    std::vector<ChangedPart> written;
    /// The positions, among the parts read, of the changed occurrences that are one no longer:
    /// each goes alone, since the series already says what it is now.
    std::vector<std::size_t> dropped;
};

}  // namespace ravu::ical

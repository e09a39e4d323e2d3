// Editing an item's tree: the surgery a change of one occurrence needs, and the tree helpers every
// edit shares. The fields a save names are written in edit_fields.cpp, times in edit_times.cpp.
// Everything here changes only what it is asked to; whatever else a component holds
// (descriptions, alarms, attendees, X- properties, other overrides) stays as it was.
#include "store/ical/edit.h"

#include <algorithm>

namespace ravu::ical {
namespace {

using std::chrono::seconds;

/// The key of the occurrence an RDATE, EXDATE or RECURRENCE-ID names; none for a value it
/// cannot read, and for a date EXDATE on a timed series, which names a whole day rather than one
/// occurrence. Any other date on a timed series names the occurrence at the series' time of day.
std::optional<Instant> keyOfProperty(Model& model, icalproperty* property) {
    const auto value = property ? timeOf(property) : std::nullopt;
    if (!value || !model.master ||
        (value->is_date && !model.master->event.allDay &&
         icalproperty_isa(property) == ICAL_EXDATE_PROPERTY)) {
        return std::nullopt;
    }
    return placedKey(model, property, *value);
}

}  // namespace

bool removeWhere(icalcomponent*& component, const std::function<bool(icalproperty*)>& drop) {
    std::vector<icalproperty*> dropped;
    for (icalproperty* p = icalcomponent_get_first_property(component, ICAL_ANY_PROPERTY);
         p != nullptr; p = icalcomponent_get_next_property(component, ICAL_ANY_PROPERTY)) {
        if (drop(p)) {
            dropped.push_back(p);
        }
    }
    icalcomponent* parent = icalcomponent_get_parent(component);
    if (dropped.size() <= 32 || parent == nullptr) {
        for (icalproperty* p : dropped) {
            icalcomponent_remove_property(component, p);
            icalproperty_free(p);
        }
        return !dropped.empty();
    }
    std::sort(dropped.begin(), dropped.end());
    icalcomponent* fresh = icalcomponent_new(icalcomponent_isa(component));
    for (icalproperty* p = icalcomponent_get_first_property(component, ICAL_ANY_PROPERTY);
         p != nullptr; p = icalcomponent_get_next_property(component, ICAL_ANY_PROPERTY)) {
        if (!std::binary_search(dropped.begin(), dropped.end(), p)) {
            icalcomponent_add_property(fresh, icalproperty_new_clone(p));
        }
    }
    for (icalcomponent* c = icalcomponent_get_first_component(component, ICAL_ANY_COMPONENT);
         c != nullptr; c = icalcomponent_get_next_component(component, ICAL_ANY_COMPONENT)) {
        icalcomponent_add_component(fresh, icalcomponent_new_clone(c));
    }
    dropComponent(parent, component);
    icalcomponent_add_component(parent, fresh);
    component = fresh;
    return true;
}

bool isKind(icalproperty* property, std::initializer_list<icalproperty_kind> kinds) {
    return std::find(kinds.begin(), kinds.end(), icalproperty_isa(property)) != kinds.end();
}

bool setProperty(icalcomponent* component, Property fresh) {
    const icalproperty_kind kind = icalproperty_isa(fresh.get());
    const auto existing = propertiesOf(component, kind);
    if (existing.size() == 1 && valueText(existing.front()) == valueText(fresh.get()) &&
        tzidOf(existing.front()) == tzidOf(fresh.get())) {
        return false;
    }
    removeAll(component, kind);
    icalcomponent_add_property(component, fresh.release());
    return true;
}

icalcomponent* findOverride(Model& model, icalcomponent* master, Instant key) {
    for (icalcomponent* event : overridesOf(model.root.get(), uidOf(master))) {
        icalproperty* rid = icalcomponent_get_first_property(event, ICAL_RECURRENCEID_PROPERTY);
        if (keyOfProperty(model, rid) == key) {
            return event;
        }
    }
    return nullptr;
}

Component makeOverride(icalcomponent* master, Model& model, Instant occurrence) {
    // Built up rather than cloned and pruned: libical removes a property in time that grows with
    // the component, and a series may have tens of thousands of RDATEs.
    Component copy{icalcomponent_new_vevent()};
    for (icalproperty* p = icalcomponent_get_first_property(master, ICAL_ANY_PROPERTY);
         p != nullptr; p = icalcomponent_get_next_property(master, ICAL_ANY_PROPERTY)) {
        switch (icalproperty_isa(p)) {
            case ICAL_RRULE_PROPERTY:
            case ICAL_RDATE_PROPERTY:
            case ICAL_EXDATE_PROPERTY:
            case ICAL_EXRULE_PROPERTY:
            case ICAL_RECURRENCEID_PROPERTY:
                break;
            default:
                icalcomponent_add_property(copy.get(), icalproperty_new_clone(p));
        }
    }
    for (icalcomponent* c = icalcomponent_get_first_component(master, ICAL_ANY_COMPONENT);
         c != nullptr; c = icalcomponent_get_next_component(master, ICAL_ANY_COMPONENT)) {
        icalcomponent_add_component(copy.get(), icalcomponent_new_clone(c));
    }
    const Form form = startForm(master, model);
    icalcomponent_add_property(
        copy.get(),
        timeProperty(ICAL_RECURRENCEID_PROPERTY, occurrence, form, *model.user).release());
    return copy;
}

bool excludeOccurrence(icalcomponent* master, Model& model, Instant occurrence, Instant now) {
    const Instant key = model.keyOf(occurrence);
    bool changed = false;
    if (icalcomponent* override = findOverride(model, master, key)) {
        dropComponent(model.root.get(), override);
        changed = true;
    }
    for (icalproperty* exdate : propertiesOf(master, ICAL_EXDATE_PROPERTY)) {
        if (keyOfProperty(model, exdate) == key) {
            return changed;
        }
    }
    icalcomponent_add_property(master, timeProperty(ICAL_EXDATE_PROPERTY, occurrence,
                                                    startForm(master, model), *model.user)
                                           .release());
    touch(master, now);
    return true;
}

void dropStrayExceptions(icalcomponent*& master, Model& model) {
    // The model is read again from the changed tree: the keys and the question whether the
    // series still has an occurrence there are the new series', not the old one's.
    const bool described = describe(model);
    const bool single = !repeats(master);
    const auto stray = [&](icalproperty* property) {
        if (single) {
            return true;  // a single event has no occurrences to leave out or change
        }
        const auto key = described ? keyOfProperty(model, property) : std::nullopt;
        return key && namesOccurrence(model, *key) == Answer::no;
    };
    for (icalcomponent* override : overridesOf(model.root.get(), uidOf(master))) {
        if (stray(icalcomponent_get_first_property(override, ICAL_RECURRENCEID_PROPERTY))) {
            dropComponent(model.root.get(), override);
        }
    }
    removeWhere(master, [&](icalproperty* property) {
        return isKind(property, {ICAL_EXDATE_PROPERTY}) && stray(property);
    });
}

void endSeriesBefore(icalcomponent*& master, Model& model, Instant occurrence) {
    const TimeZone& user = *model.user;
    const Form form = startForm(master, model);
    const Instant key = model.keyOf(occurrence);
    const icaltimetype until = form.kind == Form::Kind::date
                                   ? dayValue(date::floor<date::days>(key) - date::days{1})
                                   : untilForm(form).valueFor(occurrence - seconds{1}, user);
    for (icalproperty* property : propertiesOf(master, ICAL_RRULE_PROPERTY)) {
        icalrecurrencetype rule = icalproperty_get_rrule(property);
        rule.count = 0;
        rule.until = until;
        icalproperty_set_rrule(property, rule);
    }
    removeWhere(master, [&](icalproperty* property) {
        if (!isKind(property, {ICAL_RDATE_PROPERTY, ICAL_EXDATE_PROPERTY})) {
            return false;
        }
        const auto found = keyOfProperty(model, property);
        return found && *found >= key;
    });
    for (icalcomponent* override : overridesOf(model.root.get(), uidOf(master))) {
        const auto found = keyOfProperty(
            model, icalcomponent_get_first_property(override, ICAL_RECURRENCEID_PROPERTY));
        if (found && *found >= key) {
            dropComponent(model.root.get(), override);
        }
    }
}

bool repeats(icalcomponent* master) {
    return icalcomponent_get_first_property(master, ICAL_RRULE_PROPERTY) != nullptr ||
           icalcomponent_get_first_property(master, ICAL_RDATE_PROPERTY) != nullptr;
}

}  // namespace ravu::ical

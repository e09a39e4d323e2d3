// Writing: each save or removal reads the item again under the run's lock, checks that it is the
// version the run saw, lets the format layer change it and hands the changed parts back.
#include "store/evolution/evolution_store.h"
#include "store/evolution/waiting.h"
#include "store/policy.h"
#include "store/uid.h"

namespace ravu::evolution {
namespace {

/// A part of an item to be written, as a component of the service.
Result<Ref<ICalComponent>> componentOf(const ical::ChangedPart& part) {
    Ref<ICalComponent> component{i_cal_component_new_from_string(part.text.c_str())};
    if (!component) {
        return StoreError{"the event cannot be saved: its text does not read back"};
    }
    return component;
}

/// The changed occurrence a component stands for, as the service names it.
std::string recurrenceIdOf(ECalComponent* component) {
    gchar* rid =
        e_cal_util_component_get_recurid_as_string(e_cal_component_get_icalcomponent(component));
    std::string text = rid != nullptr ? rid : "";
    g_free(rid);
    return text;
}

}  // namespace

WriteError EvolutionStore::beginChanges() {
    if (!lock_.held()) {
        lockFailure_ = lock_.acquire();
    }
    return lockFailure_;
}

WriteError EvolutionStore::takeLock() {
    return lockFailure_ ? lockFailure_ : lock_.acquire();
}

Result<ECalClient*> EvolutionStore::writable(const std::string& calendar) {
    if (auto error = takeLock()) {
        return *error;
    }
    if (auto refused = calendarTakesChanges(calendar)) {
        return *refused;
    }
    return *connect(calendar);
}

template <typename Begin, typename Finish>
WriteError EvolutionStore::written(const std::string& calendar, Begin&& begin, Finish&& finish) {
    Waiting wait{callEnd(), *clock_};
    GAsyncResult* result = wait(std::forward<Begin>(begin));
    if (result == nullptr) {
        // The service may still carry the write out after the run has gone.
        return notAnswering(calendar);
    }
    GError* error = nullptr;
    if (!finish(result, &error)) {
        return failureOf(error);
    }
    return std::nullopt;
}

WriteError EvolutionStore::saveEvent(Event& event, Span span, Changes changes) {
    return guarded("saved", [&] {
        WriteError error = event.identifier.empty() ? create(event) : update(event, span, changes);
        relist(event.identifier);
        return error;
    });
}

WriteError EvolutionStore::removeEvent(const Event& event, Span span) {
    return guarded("removed", [&] {
        WriteError error = remove(event, span);
        relist(event.identifier);
        return error;
    });
}

WriteError EvolutionStore::create(Event& event) {
    if (event.calendarId.empty()) {
        return noCalendar();
    }
    const auto client = writable(event.calendarId);
    if (!client) {
        return client.error();
    }
    const std::string uid = newUid();
    const std::string identifier = event.calendarId + "/" + uid;
    auto item =
        ical::Item::create(event, uid, {identifier, event.calendarId, std::nullopt, identifier},
                           *zone_, clock_->wall());
    if (auto* error = std::get_if<StoreError>(&item)) {
        return *error;
    }
    for (const ical::ChangedPart& part : std::get<ical::Item>(item).changedSince({}).written) {
        const auto component = componentOf(part);
        if (!component) {
            return component.error();
        }
        gchar* made = nullptr;
        WriteError error = written(
            event.calendarId,
            [&](auto... call) {
                e_cal_client_create_object(*client, component->get(), E_CAL_OPERATION_FLAG_NONE,
                                           call...);
            },
            [&](GAsyncResult* result, GError** failure) {
                return e_cal_client_create_object_finish(*client, result, &made, failure);
            });
        if (error) {
            return error;
        }
        event.identifier = event.calendarId + "/" + (made != nullptr ? made : uid);
        g_free(made);
    }
    return std::nullopt;
}

WriteError EvolutionStore::writeBack(const std::string& calendar, ECalClient* client,
                                     const std::string& uid, const Stored& stored) {
    const ical::PartChanges changes = stored.item.changedSince(refsOf(stored.parts));
    for (const ical::ChangedPart& part : changes.written) {
        const auto component = componentOf(part);
        if (!component) {
            return component.error();
        }
        const ECalObjModType mod = part.occurrence ? E_CAL_OBJ_MOD_THIS : E_CAL_OBJ_MOD_ALL;
        WriteError error = written(
            calendar,
            [&](auto... call) {
                e_cal_client_modify_object(client, component->get(), mod, E_CAL_OPERATION_FLAG_NONE,
                                           call...);
            },
            [&](GAsyncResult* result, GError** failure) {
                return e_cal_client_modify_object_finish(client, result, failure);
            });
        if (error) {
            return error;
        }
    }
    for (const std::size_t dropped : changes.dropped) {
        const std::string occurrence = recurrenceIdOf(stored.parts[dropped]);
        WriteError error = written(
            calendar,
            [&](auto... call) {
                e_cal_client_remove_object(client, uid.c_str(), occurrence.c_str(),
                                           E_CAL_OBJ_MOD_ONLY_THIS, E_CAL_OPERATION_FLAG_NONE,
                                           call...);
            },
            [&](GAsyncResult* result, GError** failure) {
                return e_cal_client_remove_object_finish(client, result, failure);
            });
        if (error) {
            return error;
        }
    }
    return std::nullopt;
}

WriteError EvolutionStore::update(Event& event, Span span, Changes changes) {
    const auto name = splitIdentifier(event.identifier);
    if (!name) {
        return eventGone();
    }
    if (!event.calendarId.empty() && event.calendarId != name->first) {
        return cannotMove();
    }
    const auto client = writable(name->first);
    if (!client) {
        return client.error();
    }
    auto stored = unchangedSinceSeen(event.identifier, "overwritten");
    if (!stored) {
        return stored.error();
    }
    const ical::EditResult edit = stored->item.save(event, span, changes, clock_->wall());
    if (const auto* error = std::get_if<StoreError>(&edit)) {
        return *error;
    }
    if (std::get<ical::Outcome>(edit) != ical::Outcome::changed) {
        return std::nullopt;
    }
    auto error = writeBack(name->first, *client, name->second, *stored);
    seen_.erase(event.identifier);
    return error;
}

Result<EvolutionStore::Stored> EvolutionStore::unchangedSinceSeen(const std::string& identifier,
                                                                  const char* refused) const {
    auto stored = read(identifier, ical::Keep::tree);
    if (stored) {
        if (const auto seen = seen_.find(identifier);
            seen != seen_.end() && seen->second != stored->version) {
            return changedElsewhere(identifier, refused);
        }
    }
    return stored;
}

WriteError EvolutionStore::remove(const Event& event, Span span) {
    const auto name = splitIdentifier(event.identifier);
    if (!name) {
        return eventGone();
    }
    const auto client = writable(name->first);
    if (!client) {
        return client.error();
    }
    auto stored = unchangedSinceSeen(event.identifier, "removed");
    if (!stored) {
        return stored.error();
    }
    const ical::EditResult edit = stored->item.remove(event, span, clock_->wall());
    if (const auto* error = std::get_if<StoreError>(&edit)) {
        return *error;
    }
    seen_.erase(event.identifier);
    switch (std::get<ical::Outcome>(edit)) {
        case ical::Outcome::unchanged:
            return std::nullopt;
        case ical::Outcome::changed:
            return writeBack(name->first, *client, name->second, *stored);
        case ical::Outcome::removeWhole:
            break;
    }
    return written(
        name->first,
        [&](auto... call) {
            e_cal_client_remove_object(*client, name->second.c_str(), nullptr, E_CAL_OBJ_MOD_ALL,
                                       E_CAL_OPERATION_FLAG_NONE, call...);
        },
        [&](GAsyncResult* result, GError** failure) {
            return e_cal_client_remove_object_finish(*client, result, failure);
        });
}

}  // namespace ravu::evolution

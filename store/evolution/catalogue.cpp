// The calendars: every enabled event calendar of the registry, with what its backend says of it.
#include <algorithm>
#include <tuple>

#include "store/evolution/evolution_store.h"
#include "store/policy.h"

namespace ravu::evolution {
namespace {

/// Backends whose calendars never take changes: subscriptions, birthdays, the weather.
bool readOnlyBackend(std::string_view backend) {
    return backend == "webcal" || backend == "contacts" || backend == "weather";
}

SourceType typeOf(std::string_view backend) {
    if (backend == "local") {
        return SourceType::local;
    }
    if (backend == "caldav" || backend == "google") {
        return SourceType::calDAV;
    }
    if (backend == "ews" || backend == "microsoft365" || backend == "mapi" ||
        backend.starts_with("exchange")) {
        return SourceType::exchange;
    }
    if (backend == "webcal") {
        return SourceType::subscribed;
    }
    if (backend == "contacts") {
        return SourceType::birthdays;
    }
    return SourceType::other;
}

}  // namespace

Result<std::vector<Calendar>> EvolutionStore::calendars(Listing listing) const {
    const auto sources = registry();
    if (!sources) {
        return sources.error();
    }
    std::vector<Calendar> found;
    Sources listed{e_source_registry_list_enabled(*sources, E_SOURCE_EXTENSION_CALENDAR)};
    for (GList* at = listed.get(); at != nullptr; at = at->next) {
        auto* source = static_cast<ESource*>(at->data);
        auto* extension = static_cast<ESourceSelectable*>(
            e_source_get_extension(source, E_SOURCE_EXTENSION_CALENDAR));
        const char* backend = e_source_backend_get_backend_name(E_SOURCE_BACKEND(extension));
        Calendar calendar;
        calendar.identifier = e_source_get_uid(source);
        calendar.title = e_source_get_display_name(source);
        Source owner{"", typeOf(backend != nullptr ? backend : "")};
        if (const char* parentUid = e_source_get_parent(source)) {
            if (Ref<ESource> parent{e_source_registry_ref_source(*sources, parentUid)}) {
                owner.title = e_source_get_display_name(parent.get());
            }
        }
        calendar.source = owner;
        gchar* color = e_source_selectable_dup_color(extension);
        calendar.color = colorOf(color != nullptr ? color : "", ColorText::rgb);
        g_free(color);
        calendar.allowsContentModifications = !readOnlyBackend(backend != nullptr ? backend : "");
        found.push_back(std::move(calendar));
    }
    if (listing == Listing::complete) {
        // Only an opened calendar tells whether it takes changes.
        std::vector<std::string> uids;
        for (const Calendar& calendar : found) {
            uids.push_back(calendar.identifier);
        }
        connectAll(uids);
        for (Calendar& calendar : found) {
            const Connection& connection = connections_.at(calendar.identifier);
            if (connection.failure) {
                *diagnostics_ << "ravu-calendar: the calendar " << calendar.identifier
                              << " cannot be opened; it is listed as not writable: "
                              << connection.failure->message << '\n';
            }
            calendar.allowsContentModifications =
                calendar.allowsContentModifications && !connection.failure &&
                !e_client_is_readonly(E_CLIENT(connection.client.get()));
        }
    }
    std::sort(found.begin(), found.end(), [](const Calendar& a, const Calendar& b) {
        return std::tie(a.source->title, a.title, a.identifier) <
               std::tie(b.source->title, b.title, b.identifier);
    });
    return found;
}

WriteError EvolutionStore::calendarTakesChanges(std::string_view calendarId) const {
    const auto client = connect(std::string{calendarId});
    if (!client) {
        return client.error();
    }
    // The service takes writes into a read-only calendar and then drops them.
    if (e_client_is_readonly(E_CLIENT(*client))) {
        return readOnly();
    }
    return std::nullopt;
}

}  // namespace ravu::evolution

// What GLib and the service's client libraries hand over, owned: each reference, list and error
// is let go when its holder goes. And the libical components inside the service's own wrapper
// types, unwrapped for the format layer, which alone looks into them.
#pragma once

#include <libecal/libecal.h>

#include <memory>
#include <string>
#include <vector>

#include "store/ical/parts.h"
#include "store/store.h"

namespace ravu::evolution {

struct Unref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
template <typename T>
using Ref = std::unique_ptr<T, Unref>;

struct VariantUnref {
    void operator()(GVariant* value) const { g_variant_unref(value); }
};
using Variant = std::unique_ptr<GVariant, VariantUnref>;

struct ErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};
using Error = std::unique_ptr<GError, ErrorFree>;

/// Lists of objects the service hands out, each holding a reference.
struct ListFree {
    void operator()(GSList* list) const { g_slist_free_full(list, g_object_unref); }
    void operator()(GList* list) const { g_list_free_full(list, g_object_unref); }
};
using Components = std::unique_ptr<GSList, ListFree>;
using Sources = std::unique_ptr<GList, ListFree>;

inline std::string messageOf(const Error& error) {
    return error ? error->message : "unknown error";
}

/// The failure the bus or the service reported, as the store's error, with its kind.
StoreError failureOf(GError* error);

/// The libical component inside a component of the service, borrowed from it.
inline ical::ComponentRef partOf(ICalComponent* component) {
    return ical::ComponentRef{static_cast<ical::ComponentRef::native_type>(
        i_cal_object_get_native(I_CAL_OBJECT(component)))};
}

inline std::vector<ical::ComponentRef> refsOf(const std::vector<ECalComponent*>& parts) {
    std::vector<ical::ComponentRef> refs;
    for (ECalComponent* part : parts) {
        refs.push_back(partOf(e_cal_component_get_icalcomponent(part)));
    }
    return refs;
}

}  // namespace ravu::evolution

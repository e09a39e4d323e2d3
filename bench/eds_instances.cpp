// The floor of the GNOME store's snapshot: a minimal client that asks the calendar service for
// the instances of one calendar over a window with the service's own expansion, and reads each
// instance's summary and times.
//   ravu_bench_eds_instances SOURCE_UID START END   (seconds since the epoch)
//   ravu_bench_eds_instances --hold SOURCE_UID...   keeps the calendars open until killed, as
//                                                   the desktop's own clients do: warm
#include <unistd.h>

#include <libecal/libecal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct Counted {
    long instances = 0;
    long bytes = 0;
};

gboolean count(ICalComponent* component, ICalTime* start, ICalTime* end, gpointer data,
               GCancellable*, GError**) {
    auto* counted = static_cast<Counted*>(data);
    const char* summary = i_cal_component_get_summary(component);
    counted->bytes += summary != nullptr ? static_cast<long>(std::strlen(summary)) : 0;
    counted->bytes += i_cal_time_as_timet(start) != i_cal_time_as_timet(end);
    ++counted->instances;
    return TRUE;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2 && std::strcmp(argv[1], "--hold") == 0) {
        GError* error = nullptr;
        ESourceRegistry* registry = e_source_registry_new_sync(nullptr, &error);
        for (int at = 2; registry != nullptr && at < argc; ++at) {
            if (ESource* source = e_source_registry_ref_source(registry, argv[at])) {
                e_cal_client_connect_sync(source, E_CAL_CLIENT_SOURCE_TYPE_EVENTS,
                                          static_cast<guint32>(-1), nullptr, nullptr);
            }
        }
        std::puts("held");
        std::fflush(stdout);
        ::pause();
        return 0;
    }
    if (argc != 4) {
        std::fprintf(stderr, "usage: ravu_bench_eds_instances SOURCE_UID START END\n");
        return 2;
    }
    GError* error = nullptr;
    ESourceRegistry* registry = e_source_registry_new_sync(nullptr, &error);
    ESource* source = registry ? e_source_registry_ref_source(registry, argv[1]) : nullptr;
    EClient* client = source ? e_cal_client_connect_sync(source, E_CAL_CLIENT_SOURCE_TYPE_EVENTS,
                                                         static_cast<guint32>(-1), nullptr, &error)
                             : nullptr;
    if (client == nullptr) {
        std::fprintf(stderr, "ravu_bench_eds_instances: %s\n", error ? error->message : argv[1]);
        return 1;
    }
    Counted counted;
    e_cal_client_generate_instances_sync(E_CAL_CLIENT(client), std::atoll(argv[2]),
                                         std::atoll(argv[3]), nullptr, count, &counted);
    std::printf("%ld instances\n", counted.instances);
    return 0;
}

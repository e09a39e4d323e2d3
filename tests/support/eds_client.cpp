// What tests do to the calendar service as another client would, in a process of its own (GLib
// keeps one session bus per process, and the tests' own process keeps the program's):
//   eds_client clear <source UID>...        removes every component of the calendars
//   eds_client add <source UID> <file>      adds the VEVENT of the file, as a peer would
//   eds_client modify <source UID> <file>   saves the VEVENT of the file over its UID
//   eds_client refresh <source UID>         asks a remote calendar to fetch the server's changes
// Exits 0 when everything worked, else 1 after a line on standard error.
#include <libecal/libecal.h>

#include <cstdio>
#include <string>

namespace {

int failed(const char* what, GError* error) {
    std::fprintf(stderr, "eds_client: %s: %s\n", what, error != nullptr ? error->message : "");
    g_clear_error(&error);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        return failed("usage: eds_client clear|add|modify|refresh <source UID> [file]", nullptr);
    }
    const std::string command = argv[1];
    GError* error = nullptr;
    ESourceRegistry* registry = e_source_registry_new_sync(nullptr, &error);
    if (registry == nullptr) {
        return failed("registry", error);
    }
    for (int at = 2; at < argc; ++at) {
        ESource* source = e_source_registry_ref_source(registry, argv[at]);
        if (source == nullptr) {
            return failed(argv[at], nullptr);
        }
        // No waiting for a remote calendar to come online: the refresh itself brings it there.
        const guint32 wait = static_cast<guint32>(-1);
        EClient* client = e_cal_client_connect_sync(source, E_CAL_CLIENT_SOURCE_TYPE_EVENTS, wait,
                                                    nullptr, &error);
        if (client == nullptr) {
            return failed("connect", error);
        }
        ECalClient* calendar = E_CAL_CLIENT(client);
        if (command == "clear") {
            GSList* components = nullptr;
            if (!e_cal_client_get_object_list_as_comps_sync(calendar, "#t", &components, nullptr,
                                                            &error)) {
                return failed("list", error);
            }
            for (GSList* item = components; item != nullptr; item = item->next) {
                const char* uid = e_cal_component_get_uid(E_CAL_COMPONENT(item->data));
                e_cal_client_remove_object_sync(calendar, uid, nullptr, E_CAL_OBJ_MOD_ALL,
                                                E_CAL_OPERATION_FLAG_NONE, nullptr, nullptr);
            }
            g_slist_free_full(components, g_object_unref);
        } else if ((command == "add" || command == "modify") && at + 1 < argc) {
            gchar* text = nullptr;
            if (!g_file_get_contents(argv[at + 1], &text, nullptr, &error)) {
                return failed("read", error);
            }
            ICalComponent* vcalendar = i_cal_component_new_from_string(text);
            g_free(text);
            ICalComponent* vevent = vcalendar != nullptr ? i_cal_component_get_first_component(
                                                               vcalendar, I_CAL_VEVENT_COMPONENT)
                                                         : nullptr;
            const bool done =
                vevent != nullptr &&
                (command == "add"
                     ? e_cal_client_create_object_sync(calendar, vevent, E_CAL_OPERATION_FLAG_NONE,
                                                       nullptr, nullptr, &error)
                     : e_cal_client_modify_object_sync(calendar, vevent, E_CAL_OBJ_MOD_ALL,
                                                       E_CAL_OPERATION_FLAG_NONE, nullptr, &error));
            if (!done) {
                return failed(command.c_str(), error);
            }
            return 0;
        } else if (command == "refresh") {
            if (!e_client_refresh_sync(client, nullptr, &error)) {
                return failed("refresh", error);
            }
        } else {
            return failed("unknown command", nullptr);
        }
    }
    return 0;
}

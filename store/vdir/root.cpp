#include "store/vdir/root.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace ravu {

std::optional<std::string> processEnvironment(const char* name) {
    if (const char* value = std::getenv(name)) {
        return std::string{value};
    }
    if (std::string_view{name} == "HOME") {
        if (const passwd* entry = getpwuid(getuid()); entry != nullptr && entry->pw_dir) {
            return std::string{entry->pw_dir};
        }
    }
    return std::nullopt;
}

std::filesystem::path storeRoot(const Environment& environment) {
    if (auto explicitRoot = environment("RAVU_CALENDAR_STORE");
        explicitRoot && !explicitRoot->empty()) {
        return *explicitRoot;
    }
    std::filesystem::path dataHome;
    if (auto xdg = environment("XDG_DATA_HOME"); xdg && !xdg->empty() && xdg->front() == '/') {
        dataHome = *xdg;
    } else {
        dataHome = std::filesystem::path{environment("HOME").value_or("/")} / ".local" / "share";
    }
    return dataHome / "ravu-calendar";
}

}  // namespace ravu

#include "store/vdir/root.h"

namespace ravu {

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

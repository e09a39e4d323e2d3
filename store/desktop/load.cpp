#include <dlfcn.h>

#include "store/closed_store.h"
#include "store/desktop/module.h"

namespace ravu {

std::unique_ptr<Store> loadDesktopStore(const std::string& path, const DesktopSettings& settings) {
    const auto closed = [&](const std::string& why) -> std::unique_ptr<Store> {
        *settings.diagnostics << "ravu-calendar: the desktop store cannot be loaded: " << why
                              << '\n';
        return std::make_unique<ClosedStore>();
    };
    if (path.empty()) {
        return closed("this build has none");
    }
    void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        const char* error = ::dlerror();
        return closed(error != nullptr ? error : path);
    }
    const auto factory = reinterpret_cast<DesktopFactory>(::dlsym(module, desktopFactoryName));
    if (factory == nullptr) {
        return closed(path + " is not the desktop store");
    }
    Store* store = factory(&settings);
    if (store == nullptr) {
        return closed("it could not be started");
    }
    return std::unique_ptr<Store>{store};
}

}  // namespace ravu

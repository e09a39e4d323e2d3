#include "store/module.h"

#include <dlfcn.h>

#include "store/closed_store.h"

namespace ravu {

std::unique_ptr<Store> loadStoreModule(const std::string& path, const StoreModule& module,
                                       const ModuleSettings& settings) {
    const auto closed = [&](const std::string& why) -> std::unique_ptr<Store> {
        *settings.diagnostics << "ravu-calendar: the " << module.name
                              << " store cannot be loaded: " << why << '\n';
        return std::make_unique<ClosedStore>();
    };
    if (path.empty()) {
        return closed("this build has none");
    }
    void* loaded = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (loaded == nullptr) {
        const char* error = ::dlerror();
        return closed(error != nullptr ? error : path);
    }
    const auto factory = reinterpret_cast<ModuleFactory>(::dlsym(loaded, module.factory));
    if (factory == nullptr) {
        return closed(path + " is not the " + module.name + " store");
    }
    Store* store = factory(&settings);
    if (store == nullptr) {
        return closed("it could not be started");
    }
    return std::unique_ptr<Store>{store};
}

}  // namespace ravu

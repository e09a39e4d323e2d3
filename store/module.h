// Stores that reach their calendars through a desktop's calendar service live in modules of their
// own, loaded only when a run selects them: the service's client libraries (GLib and libecal, or
// Qt and Akonadi) cost every run that links them several milliseconds before `main`, and the
// directory store's runs never need them.
//
// This header is all the program sees of a module; it includes none of those libraries.
#pragma once

#include <filesystem>
#include <memory>
#include <ostream>
#include <string>

#include "convert/time.h"
#include "store/clock.h"
#include "store/deadline.h"
#include "store/store.h"

namespace ravu {

/// What a module's store runs with.
struct ModuleSettings {
    std::ostream* diagnostics = nullptr;  ///< where the store tells what it could not do
    const TimeZone* zone = nullptr;       ///< the user's zone
    /// The folder of the lock that keeps two writing runs apart: the user's runtime folder.
    std::filesystem::path lockFolder;
    /// The run's deadline, which no wait on the bus or the service passes; none when null.
    const Deadline* deadline = nullptr;
    const Clock* clock = nullptr;  ///< the clocks the store reads; required
};

/// A module's one export: a new store, owned by the caller, or null.
extern "C" {
using ModuleFactory = Store* (*)(const ModuleSettings* settings);
}

/// A store built as a module.
struct StoreModule {
    const char* name;     ///< how messages name it: the value that selects it
    const char* factory;  ///< the name of its `ModuleFactory` export
};

inline constexpr StoreModule evolutionModule{"evolution-data-server",
                                             "ravu_calendar_evolution_store"};

inline constexpr StoreModule akonadiModule{"akonadi", "ravu_calendar_akonadi_store"};

/// The store of the module at `path`; a store without access, after one line on `diagnostics`,
/// when the module cannot be loaded. The module stays loaded to the end of the process.
std::unique_ptr<Store> loadStoreModule(const std::string& path, const StoreModule& module,
                                       const ModuleSettings& settings);

}  // namespace ravu

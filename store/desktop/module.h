// The desktop store lives in a module of its own, loaded only when a run selects it: the
// calendar service's client libraries (GLib, GIO, libecal) cost every run that links them
// several milliseconds before `main`, and the directory store's runs never need them.
//
// This header is all the program sees of the module; it includes none of those libraries.
#pragma once

#include <filesystem>
#include <memory>
#include <ostream>
#include <string>

#include "convert/time.h"
#include "store/deadline.h"
#include "store/store.h"

namespace ravu {

/// What the desktop store runs with.
struct DesktopSettings {
    std::ostream* diagnostics = nullptr;  ///< where the store tells what it could not do
    const TimeZone* zone = nullptr;       ///< the user's zone
    /// The folder of the lock that keeps two writing runs apart: the user's runtime folder.
    std::filesystem::path lockFolder;
    /// The run's deadline, which no wait on the bus or the service passes; none when null.
    const Deadline* deadline = nullptr;
};

/// The module's one export: a new store, owned by the caller, or null.
extern "C" {
using DesktopFactory = Store* (*)(const DesktopSettings* settings);
}
inline constexpr const char* desktopFactoryName = "ravu_calendar_desktop_store";

/// The desktop store from the module at `path`; a store without access, after one line on
/// `diagnostics`, when the module cannot be loaded. The module stays loaded to the end of the
/// process.
std::unique_ptr<Store> loadDesktopStore(const std::string& path, const DesktopSettings& settings);

}  // namespace ravu

// A private session bus with GNOME's calendar service (evolution-data-server) on it, in a
// temporary home (session_bus.h). The service is started by the bus when the first client asks
// for it; no desktop, display or keyring is needed.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "tests/support/session_bus.h"

namespace ravu::testing {

class EvolutionBus : public SessionBus {
  public:
    /// `sources`: `.source` key files by source UID, written before the service starts (it
    /// reads them once). `config` and `launcher`: see `SessionBus::start`. The environment
    /// selects the GNOME store for the program.
    explicit EvolutionBus(const std::map<std::string, std::string>& sources,
                          const std::string& config = "",
                          const std::vector<std::string>& launcher = {});

    /// Why the service cannot run here (not installed, no module built); empty when it can.
    static std::string missing();

    /// The test client (tests/support/eds_client.cpp) with these arguments; true when it worked.
    bool client(const std::vector<std::string>& args) const;

    /// A local calendar: `writable` false makes it read-only (a file of its own, in the home,
    /// that the service may not write). "@HOME@" in a source's text stands for the home.
    static std::string localSource(const std::string& title, const std::string& color,
                                   bool writable);
};

}  // namespace ravu::testing

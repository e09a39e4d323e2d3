// A private session bus with GNOME's calendar service (evolution-data-server) on it, in a
// temporary home with every XDG folder inside it, so that no test touches a user's calendars.
// The service is started by the bus when the first client asks for it; no desktop, display or
// keyring is needed. The bus and every process on it are stopped, by their process ids, when
// this goes.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <map>
#include <string>

#include "tests/support/process.h"

namespace ravu::testing {

class EvolutionBus {
  public:
    /// `sources`: `.source` key files by source UID, written before the service starts (it
    /// reads them once). `config`: the bus's configuration, by default a session bus's;
    /// `launcher`: what starts the bus, and so the service (a memory limit).
    explicit EvolutionBus(const std::map<std::string, std::string>& sources,
                          const std::string& config = "",
                          const std::vector<std::string>& launcher = {});
    ~EvolutionBus();
    EvolutionBus(const EvolutionBus&) = delete;
    EvolutionBus& operator=(const EvolutionBus&) = delete;

    /// Why the service cannot run here (not installed, no module built); empty when it can.
    static std::string missing();

    bool running() const { return busPid_ > 0; }
    const std::filesystem::path& home() const { return dir_.path(); }
    /// HOME, the XDG folders and the bus: what a child needs to use this service, and what the
    /// program needs to select the GNOME store.
    const Environment& environment() const { return environment_; }
    /// The test client (tests/support/eds_client.cpp) with these arguments; true when it worked.
    bool client(const std::vector<std::string>& args) const;

    /// A local calendar: `writable` false makes it read-only (a file of its own, in the home,
    /// that the service may not write). "@HOME@" in a source's text stands for the home.
    static std::string localSource(const std::string& title, const std::string& color,
                                   bool writable);

  private:
    TempDir dir_;
    Environment environment_;
    pid_t busPid_ = -1;
};

}  // namespace ravu::testing

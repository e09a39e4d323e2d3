// A private session bus in a temporary home with every XDG folder inside it, so that no test
// touches a user's calendars; the harness of each desktop's calendar service builds on it. The
// bus and every process on it are stopped, by their process ids, when this goes.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/process.h"

namespace ravu::testing {

class SessionBus {
  public:
    /// `extra`: more of the environment, for the bus's services and for the program.
    explicit SessionBus(const Environment& extra);
    ~SessionBus();
    SessionBus(const SessionBus&) = delete;
    SessionBus& operator=(const SessionBus&) = delete;

    bool running() const { return busPid_ > 0; }
    const std::filesystem::path& home() const { return dir_.path(); }
    /// HOME, the XDG folders, `extra` and the bus once it runs: what a child needs to use the
    /// bus's services.
    const Environment& environment() const { return environment_; }

  protected:
    /// Starts the bus, whose services run in the temporary home from then on. `config`: the
    /// bus's configuration ("@HOME@" stands for the home), by default a session bus's;
    /// `launcher`: what starts the bus, and so its services (a memory limit).
    void start(const std::string& config, const std::vector<std::string>& launcher);

  private:
    /// The process ids of every client on the bus but this process.
    std::vector<pid_t> peers() const;

    TempDir dir_;
    Environment environment_;
    pid_t busPid_ = -1;
};

}  // namespace ravu::testing

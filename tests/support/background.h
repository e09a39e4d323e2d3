// The program running beside the test: to be killed at a chosen moment, raced against another
// run, run as another user, and never waited for without a limit.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/process.h"

namespace ravu::testing {

/// Holds runs back until it opens, so that they start at the same moment.
class StartGate {
  public:
    StartGate();
    ~StartGate();
    StartGate(const StartGate&) = delete;
    StartGate& operator=(const StartGate&) = delete;
    void open();

  private:
    friend class BackgroundRun;
    int readEnd_ = -1;
    int writeEnd_ = -1;
};

struct RunOptions {
    std::optional<uid_t>
        user;  ///< runs as this user (and its group of the same number); needs root
    StartGate* gate = nullptr;  ///< waits for the gate before the program starts
};

/// The program started against the store at `root` with TZ=UTC, reading `input`. A run still
/// going when the object goes is killed and reaped.
class BackgroundRun {
  public:
    /// Exit status of a child that could not become `RunOptions::user`.
    static constexpr int cannotSwitchUser = 126;

    BackgroundRun(const std::filesystem::path& root, const std::vector<std::string>& args,
                  const std::string& input, RunOptions options = {});
    ~BackgroundRun();
    BackgroundRun(const BackgroundRun&) = delete;
    BackgroundRun& operator=(const BackgroundRun&) = delete;

    pid_t pid() const { return pid_; }
    bool running();
    /// SIGKILL unless it has ended; true when it was still running.
    bool kill();
    /// What it printed and its status once it ends; a run still going after `limit` is killed
    /// (status 128 + SIGKILL) and `timedOut` says so.
    ProgramRun wait(std::chrono::milliseconds limit);
    bool timedOut() const { return timedOut_; }

  private:
    TempDir files_;
    pid_t pid_ = -1;
    int status_ = -1;
    bool timedOut_ = false;
};

/// The one document a run printed, after checking what every run owes its host: the exit status,
/// one JSON object on one line, and nothing on standard error but the program's own lines. An
/// empty object when there is no document.
nlohmann::json documentOf(const ProgramRun& run, int status = 0);

/// Runs the program to its end, killed after `limit`.
ProgramRun runBounded(const std::filesystem::path& root, const std::vector<std::string>& args,
                      const std::string& input = "",
                      std::chrono::milliseconds limit = std::chrono::seconds{60});

}  // namespace ravu::testing

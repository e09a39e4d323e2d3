// Child processes for tests: the built program as a host runs it, and peer tools (khal,
// vdirsyncer, Radicale). One runner: start in the background, then wait with a limit or kill.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace ravu::testing {

/// A fresh folder, removed with everything in it at the end of the test.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

/// A test's name made of the text: every character but letters and digits becomes "_".
std::string testName(std::string text);

/// Writes a file, making its parent folders.
void writeFile(const std::filesystem::path& path, const std::string& text);
std::string readFile(const std::filesystem::path& path);
/// The entries of a folder, sorted by path.
std::vector<std::filesystem::path> listed(const std::filesystem::path& folder);
/// The lines of the text, without their line ends.
std::vector<std::string> linesOf(const std::string& text);
/// The text with every mark ("@DAY@") replaced by its value.
std::string filled(std::string text, const std::map<std::string, std::string>& values);

struct ProgramRun {
    std::string out;
    std::string err;
    int status = -1;  ///< exit status, or 128 + signal
};

/// Changes to a child's environment: an empty value unsets the variable.
using Environment = std::map<std::string, std::string>;

/// A child in a process group of its own, reading `input`; the group is killed when this goes.
class BackgroundRun {
  public:
    /// `argv[0]` is looked up on PATH.
    BackgroundRun(std::vector<std::string> argv, const std::string& input, const Environment& env);
    /// The program on the store at `root`, with TZ=UTC unless `env` says otherwise.
    BackgroundRun(const std::filesystem::path& root, const std::vector<std::string>& args,
                  const std::string& input, Environment env = {});
    ~BackgroundRun() { kill(); }
    BackgroundRun(const BackgroundRun&) = delete;
    BackgroundRun& operator=(const BackgroundRun&) = delete;

    bool running();
    /// SIGKILL to the group unless it has ended; true when it was still running.
    bool kill();
    /// What it printed and its status; a run still going after `limit` is killed.
    ProgramRun wait(std::chrono::milliseconds limit);

  private:
    TempDir files_;
    pid_t pid_ = -1;
    int status_ = -1;
};

/// The program on the store at `root`, run to its end (killed after a few minutes).
ProgramRun runOnStore(const std::filesystem::path& root, const std::vector<std::string>& args,
                      const std::string& input = "", const std::string& tz = "UTC");
/// A tool found on PATH.
ProgramRun runTool(const std::vector<std::string>& argv, const Environment& env = {},
                   const std::string& input = "");
bool onPath(const std::string& tool);

/// The one document a run printed, after checking what every run owes its host: status 0 (or
/// `status`), one JSON object on one line, and on standard error only the program's own lines.
nlohmann::json documentOf(const ProgramRun& run, int status = 0);

}  // namespace ravu::testing

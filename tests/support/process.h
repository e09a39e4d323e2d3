// Runs the built program the way a host does, and temporary folders for test stores.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace ravu::testing {

struct ProgramRun {
    std::string out;
    std::string err;
    int status = -1;  ///< exit status, or 128 + signal
};

/// Runs the program with `args`, writes `input` to its standard input and closes it. `env`
/// entries are set (an empty value unsets the variable); the rest of the environment is kept.
ProgramRun runProgram(const std::vector<std::string>& args, const std::string& input = "",
                      const std::map<std::string, std::string>& env = {});

/// Runs the program against the store at `root` with TZ pinned.
ProgramRun runOnStore(const std::filesystem::path& root, const std::vector<std::string>& args,
                      const std::string& input = "", const std::string& tz = "UTC");

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

/// Writes a file, making its parent folders.
void writeFile(const std::filesystem::path& path, const std::string& text);
std::string readFile(const std::filesystem::path& path);

}  // namespace ravu::testing

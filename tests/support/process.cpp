#include "tests/support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace ravu::testing {

namespace fs = std::filesystem;

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "ravu-test-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data()) ? fs::path{pattern} : throw std::runtime_error{"mkdtemp"};
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

std::string testName(std::string text) {
    std::ranges::replace_if(
        text, [](unsigned char c) { return !std::isalnum(c); }, '_');
    return text;
}

void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream{path, std::ios::binary | std::ios::trunc} << text;
}

std::string readFile(const fs::path& path) {
    std::ostringstream text;
    text << std::ifstream{path, std::ios::binary}.rdbuf();
    return text.str();
}

std::vector<fs::path> listed(const fs::path& folder) {
    std::vector<fs::path> paths{fs::directory_iterator{folder}, fs::directory_iterator{}};
    std::sort(paths.begin(), paths.end());
    return paths;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream{text};
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::string filled(std::string text, const std::map<std::string, std::string>& values) {
    for (const auto& [mark, value] : values) {
        for (std::size_t at = 0; (at = text.find(mark, at)) != std::string::npos;
             at += value.size()) {
            text.replace(at, mark.size(), value);
        }
    }
    return text;
}

BackgroundRun::BackgroundRun(std::vector<std::string> argv, const std::string& input,
                             const Environment& env) {
    writeFile(files_.path() / "0", input);
    std::vector<char*> args(argv.size() + 1);  // the last one null
    std::ranges::transform(argv, args.begin(), [](std::string& word) { return word.data(); });
    pid_ = ::fork();
    if (pid_ != 0) {
        ::setpgid(pid_, pid_);
        return;
    }
    // A group of its own that dies with the test: neither a limit nor a crash leaves a peer.
    ::setpgid(0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    for (int fd = 0; fd < 3; ++fd) {
        const int file = ::open((files_.path() / std::to_string(fd)).c_str(),
                                fd == 0 ? O_RDONLY : O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (file < 0 || ::dup2(file, fd) < 0) {
            ::_exit(127);
        }
    }
    for (const auto& [name, value] : env) {
        value.empty() ? ::unsetenv(name.c_str()) : ::setenv(name.c_str(), value.c_str(), 1);
    }
    ::execvp(args[0], args.data());
    ::_exit(127);
}

std::vector<std::string> programWith(std::vector<std::string> args) {
    args.insert(args.begin(), RAVU_BINARY);
    return args;
}

BackgroundRun::BackgroundRun(const fs::path& root, const std::vector<std::string>& args,
                             const std::string& input, Environment env)
    : BackgroundRun(programWith(args), input, [&] {
          env.emplace("TZ", "UTC");
          env["RAVU_CALENDAR_STORE"] = root.string();
          return env;
      }()) {}

bool BackgroundRun::running() {
    int status = 0;
    if (status_ >= 0 || ::waitpid(pid_, &status, WNOHANG) != pid_) {
        return status_ < 0;
    }
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    ::kill(-pid_, SIGKILL);  // whatever it left running in its group goes with it
    return false;
}

bool BackgroundRun::kill() {
    if (!running()) {
        return false;
    }
    ::kill(-pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    status_ = 128 + SIGKILL;
    return true;
}

ProgramRun BackgroundRun::wait(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (running() && !(std::chrono::steady_clock::now() > deadline && kill())) {
        std::this_thread::sleep_for(std::chrono::milliseconds{2});
    }
    return ProgramRun{readFile(files_.path() / "1"), readFile(files_.path() / "2"), status_};
}

ProgramRun runOnStore(const fs::path& root, const std::vector<std::string>& args,
                      const std::string& input, const std::string& tz) {
    return BackgroundRun{root, args, input, {{"TZ", tz}}}.wait(std::chrono::minutes{3});
}

ProgramRun runTool(const std::vector<std::string>& argv, const Environment& env,
                   const std::string& input) {
    return BackgroundRun{argv, input, env}.wait(std::chrono::minutes{3});
}

bool onPath(const std::string& tool) {
    return std::system(("command -v '" + tool + "' >/dev/null 2>&1").c_str()) == 0;
}

nlohmann::json documentOf(const ProgramRun& run, int status) {
    EXPECT_EQ(run.status, status) << run.err;
    EXPECT_TRUE(run.out.ends_with('\n') && run.out.find('\n') == run.out.size() - 1) << run.out;
    for (const std::string& line : linesOf(run.err)) {
        EXPECT_TRUE(line.starts_with("ravu-calendar: ")) << line;
    }
    auto document = nlohmann::json::parse(run.out, nullptr, false);
    EXPECT_TRUE(document.is_object()) << run.out;
    return document.is_object() ? document : nlohmann::json::object();
}

}  // namespace ravu::testing

#include "tests/support/background.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace ravu::testing {

namespace fs = std::filesystem;

StartGate::StartGate() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    readEnd_ = ends[0];
    writeEnd_ = ends[1];
}

StartGate::~StartGate() {
    open();
    ::close(readEnd_);
}

void StartGate::open() {
    if (writeEnd_ >= 0) {
        ::close(writeEnd_);
        writeEnd_ = -1;
    }
}

BackgroundRun::BackgroundRun(const fs::path& root, const std::vector<std::string>& args,
                             const std::string& input, RunOptions options) {
    writeFile(files_.path() / "in", input);
    // Everything the child needs is made before the fork: after it, only system calls.
    std::string binary = RAVU_BINARY;
    std::vector<std::string> words = args;
    std::vector<char*> argv{binary.data()};
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> variables{"RAVU_CALENDAR_STORE=" + root.string(), "TZ=UTC"};
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, "RAVU_CALENDAR_STORE=", 20) != 0 &&
            std::strncmp(*entry, "TZ=", 3) != 0) {
            variables.emplace_back(*entry);
        }
    }
    std::vector<char*> envp;
    for (std::string& variable : variables) {
        envp.push_back(variable.data());
    }
    envp.push_back(nullptr);
    const std::string in = (files_.path() / "in").string();
    const std::string out = (files_.path() / "out").string();
    const std::string err = (files_.path() / "err").string();

    pid_ = ::fork();
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid_ != 0) {
        return;
    }
    const int inFd = ::open(in.c_str(), O_RDONLY);
    const int outFd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int errFd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (inFd < 0 || outFd < 0 || errFd < 0 || ::dup2(inFd, 0) < 0 || ::dup2(outFd, 1) < 0 ||
        ::dup2(errFd, 2) < 0) {
        ::_exit(127);
    }
    if (options.gate != nullptr) {
        ::close(options.gate->writeEnd_);
        char byte;
        while (::read(options.gate->readEnd_, &byte, 1) != 0 && errno == EINTR) {
        }
    }
    if (options.user && (::setgroups(0, nullptr) != 0 || ::setgid(*options.user) != 0 ||
                         ::setuid(*options.user) != 0)) {
        ::_exit(cannotSwitchUser);
    }
    ::execve(binary.c_str(), argv.data(), envp.data());
    ::_exit(127);
}

BackgroundRun::~BackgroundRun() {
    kill();
}

bool BackgroundRun::running() {
    if (status_ >= 0) {
        return false;
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) != pid_) {
        return true;
    }
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return false;
}

bool BackgroundRun::kill() {
    if (!running()) {
        return false;
    }
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    status_ = 128 + SIGKILL;
    return true;
}

ProgramRun BackgroundRun::wait(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (running()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            timedOut_ = kill();
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds{2});
    }
    return ProgramRun{readFile(files_.path() / "out"), readFile(files_.path() / "err"), status_};
}

nlohmann::json documentOf(const ProgramRun& run, int status) {
    EXPECT_EQ(run.status, status) << run.err;
    EXPECT_TRUE(run.out.ends_with('\n') && run.out.find('\n') == run.out.size() - 1)
        << run.out.substr(0, 300);
    std::istringstream lines{run.err};
    for (std::string line; std::getline(lines, line);) {
        EXPECT_TRUE(line.starts_with("ravu-calendar: ")) << line;
    }
    auto document = nlohmann::json::parse(run.out, nullptr, false);
    EXPECT_TRUE(document.is_object()) << run.out.substr(0, 300);
    return document.is_object() ? document : nlohmann::json::object();
}

ProgramRun runBounded(const fs::path& root, const std::vector<std::string>& args,
                      const std::string& input, std::chrono::milliseconds limit) {
    BackgroundRun run{root, args, input};
    return run.wait(limit);
}

}  // namespace ravu::testing

#include "tests/support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace ravu::testing {

ProgramRun runProgram(const std::vector<std::string>& args, const std::string& input,
                      const std::map<std::string, std::string>& env) {
    int in[2], out[2], err[2];
    if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) {
        throw std::runtime_error("pipe failed");
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) {
            close(fd);
        }
        for (const auto& [name, value] : env) {
            if (value.empty()) {
                unsetenv(name.c_str());
            } else {
                setenv(name.c_str(), value.c_str(), 1);
            }
        }
        std::vector<char*> argv;
        std::string binary = RAVU_BINARY;
        argv.push_back(binary.data());
        std::vector<std::string> copies = args;
        for (auto& a : copies) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        execv(binary.c_str(), argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    signal(SIGPIPE, SIG_IGN);

    ProgramRun run;
    std::size_t written = 0;
    int inFd = in[1];
    // The child may fill its output pipes before it has read all of its input: never block on
    // either side.
    fcntl(inFd, F_SETFL, O_NONBLOCK);
    if (input.empty()) {
        close(inFd);
        inFd = -1;
    }
    bool outOpen = true, errOpen = true;
    char buffer[65536];
    while (outOpen || errOpen) {
        std::vector<pollfd> fds;
        if (outOpen)
            fds.push_back({out[0], POLLIN, 0});
        if (errOpen)
            fds.push_back({err[0], POLLIN, 0});
        if (inFd >= 0)
            fds.push_back({inFd, POLLOUT, 0});
        poll(fds.data(), fds.size(), -1);
        for (const pollfd& p : fds) {
            if (p.revents == 0)
                continue;
            if (p.fd == inFd) {
                const ssize_t n = write(inFd, input.data() + written, input.size() - written);
                if (n > 0)
                    written += static_cast<std::size_t>(n);
                if (n < 0 || written == input.size()) {
                    close(inFd);
                    inFd = -1;
                }
                continue;
            }
            const ssize_t n = read(p.fd, buffer, sizeof buffer);
            if (n <= 0) {
                close(p.fd);
                (p.fd == out[0] ? outOpen : errOpen) = false;
            } else {
                (p.fd == out[0] ? run.out : run.err).append(buffer, static_cast<std::size_t>(n));
            }
        }
    }
    if (inFd >= 0)
        close(inFd);
    int status = 0;
    waitpid(pid, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

ProgramRun runOnStore(const std::filesystem::path& root, const std::vector<std::string>& args,
                      const std::string& input, const std::string& tz) {
    return runProgram(args, input, {{"RAVU_CALENDAR_STORE", root.string()}, {"TZ", tz}});
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "ravu-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    // A test may have taken permissions away; give them back so that everything goes.
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
        if (it->is_directory(ignored) && !it->is_symlink(ignored)) {
            std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ignored);
        }
    }
    std::filesystem::remove_all(path_, ignored);
}

void writeFile(const std::filesystem::path& path, const std::string& text) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << text;
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace ravu::testing

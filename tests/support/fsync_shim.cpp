// Preloaded into the program by the fault tests: logs each fsync, fdatasync and rename to the
// file named by RAVU_FSYNC_LOG, so that a test sees whether a file reached the disk before the
// rename that published it, and its folder after. With RAVU_PEER_EDIT set, a peer saves that
// file (as khal does, renaming a copy over it) while the program writes its first temporary file.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace {

void note(const std::string& line) {
    const int fd = ::open(std::getenv("RAVU_FSYNC_LOG"), O_WRONLY | O_APPEND | O_CREAT, 0600);
    (void)!::write(fd, (line + "\n").data(), line.size() + 1);
    ::close(fd);
}

std::string pathOf(int fd) {
    char path[4096];
    const ssize_t n = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path, 4096);
    return std::string(path, n > 0 ? static_cast<std::size_t>(n) : 0);
}

template <typename Function>
Function next(const char* name) {
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" int fsync(int fd) {
    const std::string path = pathOf(fd);
    note("fsync " + path);
    const char* peer = std::getenv("RAVU_PEER_EDIT");
    if (peer != nullptr && path.find("/.ravu-calendar-") != std::string::npos) {
        const std::string copy = std::string{peer} + ".peer";
        std::ofstream{copy, std::ios::binary} << std::ifstream{peer, std::ios::binary}.rdbuf();
        next<int (*)(const char*, const char*)>("rename")(copy.c_str(), peer);
        ::unsetenv("RAVU_PEER_EDIT");
    }
    return next<int (*)(int)>("fsync")(fd);
}

extern "C" int fdatasync(int fd) {
    note("fsync " + pathOf(fd));
    return next<int (*)(int)>("fdatasync")(fd);
}

extern "C" int rename(const char* from, const char* to) {
    note(std::string{"rename "} + from + " " + to);
    return next<int (*)(const char*, const char*)>("rename")(from, to);
}

extern "C" int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned flags) {
    note(std::string{"rename "} + from + " " + to);
    return next<int (*)(int, const char*, int, const char*, unsigned)>("renameat2")(
        fromDir, from, toDir, to, flags);
}

#include "store/lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>
#include <thread>

namespace ravu {
namespace {

StoreError cannotLock(const std::filesystem::path& folder, int error) {
    return StoreError{"cannot lock the calendar store at " + folder.string() + ": " +
                      std::generic_category().message(error)};
}

}  // namespace

WriteLock::WriteLock(std::filesystem::path folder, const Clock& clock,
                     std::chrono::milliseconds patience)
    : folder_(std::move(folder)), clock_(&clock), patience_(patience) {}

WriteLock::~WriteLock() {
    if (fd_ >= 0) {
        ::close(fd_);  // releases the lock
    }
}

WriteError WriteLock::acquire() {
    if (fd_ >= 0) {
        return std::nullopt;
    }
    const std::filesystem::path path = folder_ / fileName;
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    int cause = errno;
    if (fd < 0 && (errno == EACCES || errno == EROFS)) {
        // A lock on a file opened for reading works as well, should one exist already; when none
        // does, the first refusal is the one that says why.
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        cause = errno == ENOENT ? cause : errno;
    }
    if (fd < 0) {
        return cannotLock(folder_, cause);
    }
    const auto deadline = clock_->monotonic() + patience_;
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) {
            continue;
        }
        const int error = errno;
        if (error != EWOULDBLOCK) {
            ::close(fd);
            return cannotLock(folder_, error);
        }
        if (clock_->monotonic() >= deadline) {
            ::close(fd);
            return StoreError{"the calendar store is busy: another run is writing to it"};
        }
        std::this_thread::sleep_for(std::chrono::milliseconds{20});
    }
    fd_ = fd;
    return std::nullopt;
}

}  // namespace ravu

#include "store/vdir/safe_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <system_error>
#include <utility>

#include "store/policy.h"

namespace ravu::vdir {
namespace fs = std::filesystem;

namespace {

std::string osMessage(int error) {
    return std::generic_category().message(error);
}

StoreError osError(std::string_view doing, const fs::path& path, int error) {
    return StoreError{std::string{doing} + " " + path.string() + ": " + osMessage(error)};
}

fs::path folderOf(const fs::path& target) {
    return target.has_parent_path() ? target.parent_path() : fs::path{"."};
}

/// A rename is only durable once the folder holding the name is on disk as well.
WriteError syncFolder(const fs::path& folder) {
    const Descriptor fd{::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (fd.get() < 0) {
        return osError("cannot flush the folder", folder, errno);
    }
    // Some file systems cannot flush a folder at all; there is nothing more to be done there.
    if (::fsync(fd.get()) != 0 && errno != EINVAL && errno != ENOTSUP) {
        return osError("cannot flush the folder", folder, errno);
    }
    return std::nullopt;
}

bool writeAll(int fd, std::string_view contents) {
    while (!contents.empty()) {
        const ssize_t n = ::write(fd, contents.data(), contents.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        contents.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

/// A hidden file beside the target holding `contents`, flushed to disk. Starts with "." so that
/// no reader ever takes it, or its remains after a crash, for an item.
class TemporaryFile {
  public:
    TemporaryFile() = default;
    ~TemporaryFile() {
        if (!path_.empty()) {
            ::unlink(path_.c_str());
        }
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    Written write(const fs::path& target, std::string_view contents, mode_t mode) {
        std::string pattern =
            (folderOf(target) / (std::string{temporaryPrefix} + "XXXXXX")).string();
        Descriptor fd{::mkostemp(pattern.data(), O_CLOEXEC)};
        if (fd.get() < 0) {
            return osError("cannot save", target, errno);
        }
        path_ = pattern;
        struct stat info {};
        if (::fchmod(fd.get(), mode) != 0 || !writeAll(fd.get(), contents) ||
            ::fsync(fd.get()) != 0 || ::fstat(fd.get(), &info) != 0) {
            return osError("cannot save", target, errno);
        }
        if (::close(fd.release()) != 0) {
            return osError("cannot save", target, errno);
        }
        return stampOf(info);
    }

    const fs::path& path() const { return path_; }
    /// The file now lives under another name (or was linked there); nothing to clean up.
    void forget() { path_.clear(); }

  private:
    fs::path path_;
};

/// Whether the target is still the version this run read; the error says what became of it.
WriteError checkUnchanged(const fs::path& target, const std::optional<FileStamp>& expected) {
    if (!expected) {
        return std::nullopt;
    }
    const auto now = stampOf(target);
    if (!now) {
        return StoreError{
            target.string() +
                " was removed by another program after it was read; nothing was saved",
            ErrorKind::changed};
    }
    if (*now != *expected) {
        return changedElsewhere(target.string(), "overwritten");
    }
    return std::nullopt;
}

}  // namespace

FileStamp stampOf(const struct stat& info) {
    return FileStamp{
        static_cast<std::uint64_t>(info.st_dev),
        static_cast<std::uint64_t>(info.st_ino),
        static_cast<std::int64_t>(info.st_size),
        static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec,
    };
}

std::optional<FileStamp> stampOf(const fs::path& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        return std::nullopt;
    }
    return stampOf(info);
}

Written replaceFile(const fs::path& target, std::string_view contents,
                    const std::optional<FileStamp>& expected) {
    if (auto error = checkUnchanged(target, expected)) {
        return *error;
    }
    mode_t mode = 0600;
    struct stat info {};
    if (::lstat(target.c_str(), &info) == 0) {
        if (!S_ISREG(info.st_mode)) {
            return StoreError{"cannot save " + target.string() + ": it is not a regular file"};
        }
        mode = info.st_mode & 07777;
    }
    TemporaryFile temporary;
    Written written = temporary.write(target, contents, mode);
    if (std::holds_alternative<StoreError>(written)) {
        return written;
    }
    // Checked once more as late as possible: a peer may have saved while this file was written.
    if (auto error = checkUnchanged(target, expected)) {
        return *error;
    }
    if (::rename(temporary.path().c_str(), target.c_str()) != 0) {
        return osError("cannot save", target, errno);
    }
    temporary.forget();
    if (auto error = syncFolder(folderOf(target))) {
        return *error;
    }
    return written;
}

Written createFile(const fs::path& target, std::string_view contents) {
    TemporaryFile temporary;
    Written written = temporary.write(target, contents, 0600);
    if (std::holds_alternative<StoreError>(written)) {
        return written;
    }
    // Moving the finished file in under a name that must not exist yet: the name appears whole
    // or not at all, and a file that is there already is never replaced.
    if (::renameat2(AT_FDCWD, temporary.path().c_str(), AT_FDCWD, target.c_str(),
                    RENAME_NOREPLACE) == 0) {
        temporary.forget();
    } else if (errno == EINVAL || errno == ENOSYS) {
        // A file system without the no-replace rename: a hard link fails the same way on an
        // existing name, and the temporary name goes when `temporary` does.
        if (::link(temporary.path().c_str(), target.c_str()) != 0) {
            return errno == EEXIST ? StoreError{"cannot create " + target.string() +
                                                ": a file of that name exists already"}
                                   : osError("cannot create", target, errno);
        }
    } else if (errno == EEXIST) {
        return StoreError{"cannot create " + target.string() +
                          ": a file of that name exists already"};
    } else {
        return osError("cannot create", target, errno);
    }
    if (auto error = syncFolder(folderOf(target))) {
        return *error;
    }
    return written;
}

WriteError removeFile(const fs::path& target, const std::optional<FileStamp>& expected) {
    if (expected && !stampOf(target)) {
        return std::nullopt;  // gone already: what was to be removed is not there
    }
    if (auto error = checkUnchanged(target, expected)) {
        return error;
    }
    if (::unlink(target.c_str()) != 0) {
        if (errno == ENOENT) {
            return std::nullopt;
        }
        return osError("cannot remove", target, errno);
    }
    return syncFolder(folderOf(target));
}

void removeStaleTemporaries(const fs::path& folder, Instant now) {
    constexpr auto stale = std::chrono::hours{1};
    const Descriptor fd{::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    DIR* dir = fd.get() >= 0 ? ::fdopendir(::dup(fd.get())) : nullptr;
    if (dir == nullptr) {
        return;
    }
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name{entry->d_name};
        struct stat info {};
        if (name.size() == temporaryPrefix.size() + 6 && name.starts_with(temporaryPrefix) &&
            ::fstatat(fd.get(), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(info.st_mode) &&
            now - std::chrono::system_clock::from_time_t(info.st_mtim.tv_sec) > stale) {
            ::unlinkat(fd.get(), entry->d_name, 0);
        }
    }
    ::closedir(dir);
}

}  // namespace ravu::vdir

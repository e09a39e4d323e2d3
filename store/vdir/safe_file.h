// Writing and removing the store's files so that a crash, a full disk or a peer editing the
// same file never leaves a half-written or silently overwritten item behind.
#pragma once

#include <unistd.h>

#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>
#include <utility>
#include <variant>

#include "convert/instant.h"
#include "store/store.h"

namespace ravu::vdir {

/// One version of a file on disk. Any rewrite, by this program or by a peer, changes at least
/// one of these: a rename-over gives a new inode, an edit in place a new time or size.
struct FileStamp {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t size = 0;
    std::int64_t modifiedNs = 0;  ///< modification time, nanoseconds since the epoch

    Instant modified() const {
        return date::floor<std::chrono::microseconds>(
            std::chrono::sys_time<std::chrono::nanoseconds>{std::chrono::nanoseconds{modifiedNs}});
    }

    friend bool operator==(const FileStamp&, const FileStamp&) = default;
};

FileStamp stampOf(const struct stat& info);

/// The stamp of the file at `path` itself (a symbolic link is not followed); none when there is
/// nothing there.
std::optional<FileStamp> stampOf(const std::filesystem::path& path);

/// The stamp of the file a write left on disk, or why the write did not happen.
using Written = std::variant<FileStamp, StoreError>;

/// Replaces `target` with `contents`: a hidden temporary file in the same folder is written and
/// flushed to disk, then renamed over the target, and the folder is flushed too. At any moment
/// the target is the old file whole or the new one whole. When `expected` is given, the target
/// must still be that version right before the rename; otherwise nothing is replaced. The new
/// file keeps the old one's permission bits.
[[nodiscard]] Written replaceFile(const std::filesystem::path& target, std::string_view contents,
                                  const std::optional<FileStamp>& expected);

/// Writes a new file (mode 0600) the same way, but never replaces one that is there already.
[[nodiscard]] Written createFile(const std::filesystem::path& target, std::string_view contents);

/// Removes `target` and flushes its folder, unless it is no longer the version `expected`.
[[nodiscard]] WriteError removeFile(const std::filesystem::path& target,
                                    const std::optional<FileStamp>& expected);

/// How the hidden temporary files of a write begin.
inline constexpr std::string_view temporaryPrefix = ".ravu-calendar-";

/// Removes the temporary files in the folder that a run killed while writing left behind. Only
/// files older than an hour at `now` go: a run writing now is younger. Call it holding the write
/// lock.
void removeStaleTemporaries(const std::filesystem::path& folder, Instant now);

/// Closes a descriptor when it goes out of scope; `release` hands it over for an explicit close.
class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

  private:
    int fd_;
};

}  // namespace ravu::vdir

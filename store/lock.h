// The lock that keeps two runs from interleaving their writes: an exclusive advisory lock on a
// hidden file, taken at a run's first look-up for a change and held until the run ends, so that a
// run reads what it writes and no other run writes in between. The directory store keeps the
// file in its root; a store whose calendars live in a service, in the user's runtime folder.
#pragma once

#include <chrono>
#include <filesystem>
#include <string_view>

#include "store/clock.h"
#include "store/store.h"

namespace ravu {

class WriteLock {
  public:
    /// `folder`: where the lock file is. `patience`: how long `acquire` waits for another run to
    /// finish before giving up, on `clock`'s monotonic time.
    WriteLock(std::filesystem::path folder, const Clock& clock,
              std::chrono::milliseconds patience = std::chrono::seconds{30});
    ~WriteLock();
    WriteLock(const WriteLock&) = delete;
    WriteLock& operator=(const WriteLock&) = delete;

    /// Takes the lock unless this object holds it already.
    [[nodiscard]] WriteError acquire();
    bool held() const { return fd_ >= 0; }

    static constexpr std::string_view fileName = ".ravu-calendar.lock";

  private:
    std::filesystem::path folder_;
    const Clock* clock_;
    std::chrono::milliseconds patience_;
    int fd_ = -1;
};

}  // namespace ravu

// The Qt side of one run: the application object Akonadi's jobs need, and each job run to its
// end before a given instant.
#pragma once

#include <chrono>

#include "store/clock.h"
#include "store/store.h"

class KJob;

namespace ravu::akonadi {

class Session {
  public:
    /// Makes the application object unless the process has one. Our client never runs Akonadi's
    /// first-run defaults: it announces itself as an agent, which they skip.
    explicit Session(const Clock& clock);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    /// Runs the job to its end, or until `until` (the job is then killed): its failure, of kind
    /// `timedOut` when it ran out of time. The job's results are there until the next job runs.
    [[nodiscard]] WriteError run(KJob* job, Clock::Monotonic until) const;

    /// Lets queued notifications and replies in for up to `wait`.
    void pause(std::chrono::milliseconds wait) const;

    const Clock& clock() const { return *clock_; }

  private:
    const Clock* clock_;
};

}  // namespace ravu::akonadi

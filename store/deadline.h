// How long a run may wait on the processes it talks to. A store that reaches its calendars
// through a service (a bus, a daemon, a server behind it) bounds every wait by a limit of its own
// and by what is left of the run's time, so that nothing it talks to can hold a run up: running
// out of time is an outcome, an error of kind `timedOut`, never a hang.
#pragma once

#include <algorithm>
#include <chrono>

#include "store/clock.h"
#include "store/store.h"

namespace ravu {

/// The longest one call to a calendar service may take: starting the service, opening a
/// calendar, looking one item or zone up, or one write. A calendar the service could not open
/// in time goes on loading there, and opens at once for the next run.
inline constexpr std::chrono::milliseconds callLimit{5000};
/// The longest reading all of a calendar's items may take, which grows with the calendar: the
/// service lists 100,000 events in about four seconds on a busy two-core machine.
inline constexpr std::chrono::milliseconds readLimit{15000};

/// The instant by which a run must have its document out.
class Deadline {
  public:
    /// No deadline until one is set.
    Deadline() = default;
    explicit Deadline(Clock::Monotonic at) : at_{at} {}

    Clock::Monotonic at() const { return at_; }
    /// When a wait that starts `now` and may last `limit` ends: after `limit`, or at the deadline
    /// if sooner.
    Clock::Monotonic within(Clock::Monotonic::duration limit, Clock::Monotonic now) const {
        return std::min(at_, now + limit);
    }

  private:
    Clock::Monotonic at_ = Clock::Monotonic::max();
};

/// The error of a call the service did not answer in time.
inline StoreError outOfTime() {
    return StoreError{"the calendar service did not answer in time", ErrorKind::timedOut};
}

}  // namespace ravu

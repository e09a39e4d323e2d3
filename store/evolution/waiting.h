// Every call to the bus or the service is made asynchronously and waited for on this thread, for
// at most `callLimit` (`readLimit` to read a whole calendar) and never past the run's deadline;
// one that does not end in time is cancelled and left behind.
#pragma once

#include <utility>

#include "store/clock.h"
#include "store/evolution/glib.h"

namespace ravu::evolution {

/// One asynchronous call, waited for on this thread's main context until it ends or its time is
/// up; then it is cancelled and left behind. What the call's callback writes outlives the wait,
/// for a callback that comes after it.
class Waiting {
  public:
    /// A wait that ends at `until` on `clock`'s monotonic time.
    Waiting(Clock::Monotonic until, const Clock& clock);
    ~Waiting();
    Waiting(const Waiting&) = delete;
    Waiting& operator=(const Waiting&) = delete;

    /// Starts the call with `begin(cancellable, callback, data)`, unless its time is up.
    template <typename Begin>
    void start(Begin&& begin) {
        if (clock_->monotonic() < until_) {
            ++pending_->holders;
            started_ = true;
            begin(cancellable_.get(), &Waiting::done, static_cast<gpointer>(pending_));
        }
    }
    /// The call's result while this lives, or null when it did not end in time (or was never
    /// started). Other calls started meanwhile go on while this waits.
    GAsyncResult* result() { return started_ ? wait() : nullptr; }
    /// Starts the call and waits for it.
    template <typename Begin>
    GAsyncResult* operator()(Begin&& begin) {
        start(std::forward<Begin>(begin));
        return result();
    }

  private:
    struct Pending {
        GAsyncResult* result = nullptr;
        int holders = 1;  ///< the wait, and the call until its callback came
    };
    static void release(Pending* pending);
    static void done(GObject*, GAsyncResult* result, gpointer data);
    GAsyncResult* wait();

    Clock::Monotonic until_;
    const Clock* clock_;
    Pending* pending_;
    Ref<GCancellable> cancellable_;
    bool started_ = false;
};

}  // namespace ravu::evolution

// The bound of a run on a store that reaches its calendars through a service, and the watchdog
// that ends a run still going well past it.
//
// The store keeps every wait within the run's deadline, and after it each call fails at once
// with "did not answer in time", so a run normally ends on its own with a complete document: a
// snapshot names the calendars it could not read under "unread", an apply gives each entry it
// could not carry out "transientError". The watchdog is for a wait the store could not bound.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "document/context.h"
#include "store/deadline.h"

namespace ravu {

/// How long a run may take: a few seconds for the words that read no events, and for `snapshot`
/// and `apply` more for each calendar asked for and each entry.
std::chrono::milliseconds runBound(std::string_view word, const Json& request);

/// The end of a run's bound kept for finishing its document once the store's time is up.
inline constexpr std::chrono::milliseconds closingTime{250};

/// What a word answers when the calendar service stops answering: what it answers without
/// access.
std::string unansweredDocument(std::string_view word);

/// Holds the run's document until the run is done. Should the run still be going at `end`, it
/// prints `fallback` instead, with one line on standard error, and ends the process with
/// status 0.
class Watchdog {
  public:
    Watchdog(Clock::Monotonic end, std::string fallback, std::FILE* out);
    ~Watchdog();
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    /// Adds to the document.
    void print(std::string_view text);
    /// Prints the document and its line feed.
    void finish();

  private:
    void watch();

    Clock::Monotonic end_;
    std::string fallback_;
    std::FILE* out_;
    std::string document_;
    bool done_ = false;
    std::mutex mutex_;
    std::condition_variable finished_;
    std::thread thread_;
};

}  // namespace ravu

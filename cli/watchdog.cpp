#include "cli/watchdog.h"

#include <unistd.h>

#include <cstdlib>

#include "document/json_text.h"

namespace ravu {
namespace {

using std::chrono::milliseconds;

/// `status`: a call to the bus and one to the service.
constexpr milliseconds statusBound{3000};
/// `permission` and `calendars`: starting the service, and opening every calendar at once.
constexpr milliseconds serviceBound = callLimit;
/// What a snapshot may spend on one calendar: opening it, the service's listing, and reading
/// what it lists (100,000 events take about ten seconds in all on a busy two-core machine).
constexpr milliseconds perCalendar = callLimit + readLimit;
/// An apply: the service, and one calendar opened and read whole, for the first look-up under
/// the run's lock.
constexpr milliseconds applyBound = perCalendar;
/// The most an apply spends on one entry, on average: a write takes a few tens of milliseconds,
/// and a calendar that does not answer costs one wait, not one per entry.
constexpr milliseconds perEntry{1000};

std::size_t sizeOf(const Json& request, const char* member) {
    const auto found = request.is_object() ? request.find(member) : request.end();
    return found != request.end() && found->is_array() ? found->size() : 0;
}

}  // namespace

milliseconds runBound(std::string_view word, const Json& request) {
    if (word == "status") {
        return statusBound;
    }
    if (word == "snapshot") {
        return serviceBound + perCalendar * static_cast<long>(sizeOf(request, "logicalKeys"));
    }
    if (word == "apply") {
        return applyBound + perEntry * static_cast<long>(sizeOf(request, "pending"));
    }
    return serviceBound;
}

std::string unansweredDocument(std::string_view word) {
    if (word == "calendars") {
        return serializeDocument(Json{{"calendars", Json::array()}});
    }
    if (word == "snapshot") {
        return serializeDocument(Json{{"feeds", Json::object()}, {"noAccess", true}});
    }
    if (word == "apply") {
        return serializeDocument(Json{
            {"writes", Json::array()}, {"deletes", Json::array()}, {"external", Json::array()}});
    }
    return serializeDocument(Json{{"granted", false}});
}

Watchdog::Watchdog(Clock::Monotonic end, std::string fallback, std::FILE* out)
    : end_{end}, fallback_{std::move(fallback)}, out_{out}, thread_{[this] { watch(); }} {}

Watchdog::~Watchdog() {
    {
        const std::lock_guard lock{mutex_};
        done_ = true;
    }
    finished_.notify_all();
    thread_.join();
}

void Watchdog::print(std::string_view text) {
    const std::lock_guard lock{mutex_};
    document_ += text;
}

void Watchdog::finish() {
    {
        const std::lock_guard lock{mutex_};
        std::fwrite(document_.data(), 1, document_.size(), out_);
        std::fputc('\n', out_);
        std::fflush(out_);
        done_ = true;
    }
    finished_.notify_all();
}

void Watchdog::watch() {
    std::unique_lock lock{mutex_};
    if (finished_.wait_until(lock, end_, [this] { return done_; })) {
        return;
    }
    // The main thread is stuck in a wait nobody bounded: it never prints, and the host gets the
    // answer of a service that did not answer.
    static constexpr std::string_view line =
        "ravu-calendar: the calendar service did not answer in time; the run was ended\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fwrite(fallback_.data(), 1, fallback_.size(), out_);
    std::fputc('\n', out_);
    std::fflush(out_);
    ::_exit(0);
}

}  // namespace ravu

// One window query over every calendar of a directory store, as `snapshot` runs it:
//
//   ravu_bench_query ROOT [PAST_DAYS FUTURE_DAYS]
//
// Prints the number of events and occurrences found and the time the query took (the whole
// process is timed from outside by bench/run.sh).
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <sstream>

#include "convert/time.h"
#include "store/vdir/vdir_store.h"

int main(int argc, char** argv) {
    using namespace ravu;
    if (argc < 2) {
        std::cerr << "usage: ravu_bench_query ROOT [PAST_DAYS FUTURE_DAYS]\n";
        return 2;
    }
    const int past = argc > 3 ? std::atoi(argv[2]) : 30;
    const int future = argc > 3 ? std::atoi(argv[3]) : 400;

    const auto began = std::chrono::steady_clock::now();
    std::ostringstream diagnostics;
    const TimeZone& zone = *date::current_zone();
    const Instant now = date::floor<std::chrono::microseconds>(std::chrono::system_clock::now());
    const Clock clock{[now] { return now; }, std::chrono::steady_clock::now};
    const VdirStore store{argv[1], diagnostics, zone, clock};
    const auto events = store.eventsMatching(
        predicateForEvents(addDays(now, -past, zone), addDays(now, future, zone), std::nullopt));
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - began;
    if (!events) {
        std::cerr << "ravu_bench_query: " << events.error().message << '\n';
        return 1;
    }
    std::cout << events->size() << " events in " << took.count() << " ms\n";
    std::cerr << diagnostics.str();
    return 0;
}

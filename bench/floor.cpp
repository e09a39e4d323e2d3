// The durable-write floor the apply benchmarks are read against:
//
//   ravu_bench_floor FOLDER COUNT [BYTES]
//
// COUNT times: writes BYTES (default 700) to a hidden file in FOLDER, syncs it, renames it to
// <n>.ics and syncs FOLDER. No store can keep a write across a power loss for less, so apply's
// time over this one's is what the store's own work costs. FOLDER must exist, on the file
// system of the store it is compared with.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int fail(const std::string& what) {
    std::fprintf(stderr, "ravu_bench_floor: %s: %s\n", what.c_str(), std::strerror(errno));
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: ravu_bench_floor FOLDER COUNT [BYTES]\n");
        return 2;
    }
    const std::string folder = argv[1];
    const long count = std::atol(argv[2]);
    const long bytes = argc > 3 ? std::atol(argv[3]) : 700;
    // Lines of an iCalendar file's length, so that the text is as plain as an item's.
    std::string text;
    while (static_cast<long>(text.size()) < bytes) {
        text += "DESCRIPTION:durable write floor of the benchmark\r\n";
    }
    text.resize(static_cast<std::size_t>(bytes > 0 ? bytes : 0));

    const int directory = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0) {
        return fail(folder);
    }
    for (long n = 0; n < count; ++n) {
        const std::string temporary = folder + "/.floor.tmp";
        const std::string target = folder + "/" + std::to_string(n) + ".ics";
        const int file = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (file < 0) {
            return fail(temporary);
        }
        if (write(file, text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
            fsync(file) != 0 || close(file) != 0) {
            return fail(temporary);
        }
        if (rename(temporary.c_str(), target.c_str()) != 0 || fsync(directory) != 0) {
            return fail(target);
        }
    }
    close(directory);
    std::printf("%ld writes of %ld bytes\n", count, bytes);
    return 0;
}

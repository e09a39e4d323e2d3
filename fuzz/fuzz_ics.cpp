// One item file of the store, whatever a peer or a damaged disk put in it: reading it and
// expanding its occurrences over a window never crashes and never runs away.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "convert/time.h"
#include "store/vdir_internal.h"

namespace {

const std::filesystem::path& scratchFile() {
    static const std::filesystem::path path = [] {
        std::string folder = (std::filesystem::temp_directory_path() / "ravu-fuzz-XXXXXX").string();
        if (mkdtemp(folder.data()) == nullptr) {
            std::abort();
        }
        return std::filesystem::path{folder} / "item.ics";
    }();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace ravu;
    const auto& path = scratchFile();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || ::write(fd, data, size) != static_cast<ssize_t>(size)) {
        std::abort();
    }
    ::close(fd);

    const vdir::ItemName name{{"source", "calendar"}, "item"};
    const TimeZone& berlin = *findZone("Europe/Berlin");
    for (const auto tree : {vdir::Tree::drop, vdir::Tree::keep}) {
        auto loaded = vdir::loadItem(AT_FDCWD, path.string(), name, berlin, tree);
        if (auto* item = std::get_if<vdir::LoadedItem>(&loaded)) {
            std::vector<Event> found;
            const Instant start = *parseISO("2024-01-01T00:00:00Z");
            (void)vdir::occurrences(*item, start, addDays(start, 430, berlin), berlin, found);
        }
    }
    return 0;
}

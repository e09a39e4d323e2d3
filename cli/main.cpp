// ravu-calendar: one word on the command line, one JSON request on standard input where the
// word takes one, one JSON object on standard output.
#include <chrono>
#include <iostream>

#include "cli/dispatch.h"
#include "cli/json_channel.h"
#include "convert/time.h"
#include "store/location.h"
#include "store/vdir_store.h"

int main(int argc, char** argv) {
    using namespace ravu;

    VdirStore store{storeRoot(processEnvironment)};
    const std::string_view word = argc >= 2 ? argv[1] : "";
    Context context{store, std::cerr,
                    date::floor<std::chrono::microseconds>(std::chrono::system_clock::now()),
                    currentZone()};

    const auto document = runCommand(word, context, readStdinJSON);
    if (!document) {
        fail(usageText);
    }
    emit(*document);
    return 0;
}

// Request bytes from the host, through the reader and the snapshot and apply commands over an
// in-memory store: every input gives a document that can be printed.
#include <cstdint>
#include <cstdlib>

#include "fuzz/request_documents.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto [snapshot, apply] =
        ravu::fuzzing::requestDocuments({reinterpret_cast<const char*>(data), size});
    // Written piece by piece, the document must still be JSON, and the one the tree would print.
    if (snapshot != ravu::serializeDocument(ravu::Json::parse(snapshot)) || apply.empty()) {
        std::abort();
    }
    return 0;
}

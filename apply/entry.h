// One entry of the host's queue, read once into typed fields.
//
// A value of the wrong JSON type counts as absent, and so does an instant `parseISO` does not
// read: no field ever makes an entry fail.
#pragma once

#include <optional>
#include <string>

#include "document/context.h"

namespace ravu {

/// What an entry asks for. Ops are compared exactly; any other text, or none, is `ignored`.
enum class Op { ignored, create, update, remove, updateExternal, deleteExternal };

/// The occurrence an external entry names, as the host sent it and as read.
struct OccurrenceStart {
    std::string text;  ///< echoed back unchanged in the entry's outcome
    std::optional<Instant> instant;
};

struct Entry {
    Op op = Op::ignored;
    std::string itemId;                  ///< empty when absent
    std::optional<std::string> eventId;  ///< `eventkitEventId`
    std::optional<std::string> logicalKey;
    std::optional<std::string> title;
    std::optional<bool> allDay;
    std::optional<Instant> startsAt;
    std::optional<Instant> endsAt;
    std::optional<std::string> location;
    std::optional<std::string> recurrenceRule;
    std::optional<OccurrenceStart> occurrenceStart;
    std::optional<Instant> baseLastModified;

    bool external() const { return op == Op::updateExternal || op == Op::deleteExternal; }
};

/// The typed fields of one JSON entry; an entry that is not an object has none.
Entry parseEntry(const Json& entry);

}  // namespace ravu

#include "apply/entry.h"

#include "convert/time.h"

namespace ravu {
namespace {

std::optional<std::string> text(const Json& fields, std::string_view key) {
    const auto found = fields.find(key);
    if (found == fields.end() || !found->is_string()) {
        return std::nullopt;
    }
    return found->get<std::string>();
}

std::optional<Instant> instant(const Json& fields, std::string_view key) {
    const auto value = text(fields, key);
    return value ? parseISO(*value) : std::nullopt;
}

Op op(const std::optional<std::string>& word) {
    if (!word) {
        return Op::ignored;
    }
    if (*word == "create") {
        return Op::create;
    }
    if (*word == "update") {
        return Op::update;
    }
    if (*word == "delete") {
        return Op::remove;
    }
    if (*word == "updateExternal") {
        return Op::updateExternal;
    }
    if (*word == "deleteExternal") {
        return Op::deleteExternal;
    }
    return Op::ignored;
}

}  // namespace

Entry parseEntry(const Json& fields) {
    Entry entry;
    if (!fields.is_object()) {
        return entry;
    }
    entry.op = op(text(fields, "op"));
    entry.itemId = text(fields, "itemId").value_or("");
    entry.eventId = text(fields, "eventkitEventId");
    entry.logicalKey = text(fields, "logicalKey");
    entry.title = text(fields, "title");
    if (const auto found = fields.find("allDay"); found != fields.end() && found->is_boolean()) {
        entry.allDay = found->get<bool>();
    }
    entry.startsAt = instant(fields, "startsAt");
    entry.endsAt = instant(fields, "endsAt");
    entry.location = text(fields, "location");
    entry.recurrenceRule = text(fields, "recurrenceRule");
    if (auto start = text(fields, "occurrenceStart")) {
        const auto read = parseISO(*start);
        entry.occurrenceStart = OccurrenceStart{std::move(*start), read};
    }
    entry.baseLastModified = instant(fields, "baseLastModified");
    return entry;
}

}  // namespace ravu

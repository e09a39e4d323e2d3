#include "cli/dispatch.h"

#include <array>

#include "apply/apply.h"
#include "catalogue/catalogue.h"
#include "snapshot/snapshot.h"
#include "store/access.h"

namespace ravu {
namespace {

struct Command {
    std::string_view word;
    bool takesRequest;
    void (*run)(Context&, const Json& request, const Output&);
};

/// A command whose document is small enough to be built whole and then printed.
template <Json (*document)(Context&, const Json&)>
void printed(Context& context, const Json& request, const Output& output) {
    output(serializeDocument(document(context, request)));
}

Json status(Context& context, const Json&) {
    return Json{{"granted", hasAccess(context.store)}};
}

Json permission(Context& context, const Json&) {
    return Json{{"granted", requestAccess(context.store)}};
}

Json calendars(Context& context, const Json&) {
    return cmdCalendars(context);
}

constexpr std::array commands{
    Command{"status", false, printed<status>},
    Command{"permission", false, printed<permission>},
    Command{"calendars", false, printed<calendars>},
    Command{"snapshot", true, cmdSnapshot},
    Command{"apply", true, printed<cmdApply>},
};

}  // namespace

bool isCommand(std::string_view word) {
    for (const Command& command : commands) {
        if (command.word == word) {
            return true;
        }
    }
    return false;
}

bool takesRequest(std::string_view word) {
    for (const Command& command : commands) {
        if (command.word == word) {
            return command.takesRequest;
        }
    }
    return false;
}

bool runCommand(std::string_view word, Context& context, const std::function<Json()>& readRequest,
                const Output& output) {
    for (const Command& command : commands) {
        if (command.word == word) {
            const Json request = command.takesRequest ? readRequest() : Json::object();
            command.run(context, request, output);
            return true;
        }
    }
    return false;
}

}  // namespace ravu

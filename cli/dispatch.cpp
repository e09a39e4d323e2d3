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
    Json (*run)(Context&, const Json& request);
};

constexpr std::array commands{
    Command{"status", false,
            [](Context& c, const Json&) {
                return Json{{"granted", hasAccess(c.store)}};
            }},
    Command{"permission", false,
            [](Context& c, const Json&) {
                return Json{{"granted", requestAccess(c.store)}};
            }},
    Command{"calendars", false, [](Context& c, const Json&) { return cmdCalendars(c); }},
    Command{"snapshot", true, cmdSnapshot},
    Command{"apply", true, cmdApply},
};

}  // namespace

std::optional<Json> runCommand(std::string_view word, Context& context,
                               const std::function<Json()>& readRequest) {
    for (const Command& command : commands) {
        if (command.word == word) {
            const Json request = command.takesRequest ? readRequest() : Json::object();
            return command.run(context, request);
        }
    }
    return std::nullopt;
}

}  // namespace ravu

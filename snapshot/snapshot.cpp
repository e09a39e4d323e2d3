#include "snapshot/snapshot.h"

#include "store/access.h"

namespace ravu {

Json cmdSnapshot(Context& context, const Json&) {
    Json document{{"feeds", Json::object()}};
    if (!hasAccess(context.store)) {
        document["noAccess"] = true;
    }
    return document;
}

}  // namespace ravu

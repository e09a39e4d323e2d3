#include "catalogue/catalogue.h"

#include "store/access.h"

namespace ravu {

Json cmdCalendars(Context& context) {
    (void)hasAccess(context.store);
    return Json{{"calendars", Json::array()}};
}

}  // namespace ravu

#include "apply/apply.h"

namespace ravu {

Json cmdApply(Context&, const Json&) {
    return Json{{"writes", Json::array()}, {"deletes", Json::array()}, {"external", Json::array()}};
}

}  // namespace ravu

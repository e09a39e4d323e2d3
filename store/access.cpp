#include "store/access.h"

namespace ravu {

bool hasAccess(const Store& store) {
    return store.authorizationStatus() == AuthorizationStatus::fullAccess;
}

bool requestAccess(Store& store) {
    if (hasAccess(store)) {
        return true;
    }
    return store.requestFullAccess();
}

}  // namespace ravu

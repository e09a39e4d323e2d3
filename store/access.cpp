#include "store/access.h"

namespace ravu {

bool hasAccess(const Store& store) {
    return store.authorizationStatus() == AuthorizationStatus::fullAccess;
}

bool requestAccess(Store& store) {
    // The store answers at once when access is granted and it has nothing to start: a store that
    // reaches its calendars through a service reports a service that can be started as granted,
    // and only starting it shows that it answers.
    return store.requestFullAccess();
}

}  // namespace ravu

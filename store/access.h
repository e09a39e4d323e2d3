// Calendar access: only full access (status 3) lets a command read or write events.
#pragma once

#include "store/store.h"

namespace ravu {

/// Whether full access is granted. Never asks, never blocks.
bool hasAccess(const Store& store);

/// Asks for full access unless it is granted already, and waits for the answer; true only when
/// the store answered.
bool requestAccess(Store& store);

}  // namespace ravu

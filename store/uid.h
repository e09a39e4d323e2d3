// Unique identifiers for the items this program creates.
#pragma once

#include <string>

namespace ravu {

/// A random (version 4) UUID in lower case: the UID of a new event.
std::string newUid();

}  // namespace ravu

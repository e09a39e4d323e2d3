// The `apply` command: carries out the host's queue of changes, one entry at a time.
#pragma once

#include "document/context.h"

namespace ravu {

/// The apply result document for a request {"pending": [...]}.
Json cmdApply(Context& context, const Json& request);

}  // namespace ravu

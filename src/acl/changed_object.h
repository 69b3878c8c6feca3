// Finding again, after the run that changed it is gone, the object a recorded edit changed.
#pragma once

#include <expected>
#include <string>

#include "acl/dacl_change.h"
#include "acl/dacl_object.h"

namespace tavo {

// The object `change` was made on, reached as itself and judged by the guard: by its identity,
// on the volume its final path names (any handle on that volume serves to find it there). A
// record without an identity is reached by its final path with a link in the last component
// opened itself, and only when that path is no link and leads to itself still. Otherwise why it
// cannot be reached as itself: nothing may then be written, since a name may lead elsewhere now.
// `rule` lets a traversal entry's drive root be reached to take that entry back.
std::expected<DaclObject, std::string> reach_changed_object(
    const DaclChange& change, GuardRule rule = GuardRule::SystemPathsRefused);

}  // namespace tavo

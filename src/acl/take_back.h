// Taking lasting entries of one SID back off an object found again by its identity.
#pragma once

#include <expected>

#include "acl/dacl_lock.h"
#include "acl/dacl_object.h"
#include "win/api.h"
#include "win/error.h"

namespace tavo {

// Which of the SID's explicit entries a take-back removes.
enum class TakenEntries {
  Allows,          // a grant's inheritable allow entry, and any other allow entry of the SID
  TraverseAllows,  // the allow entries that reach nothing below the object: a traversal grant
  Denies,          // deny entries
};

// Removes the SID's explicit entries of `which` from `object`, every other entry staying as it
// is, and leaves the protection as it is. A traversal entry goes with the calls that change this
// one object (as it came), anything else with those that push the change down to the children
// that inherited it. Writes nothing, and says false, when the object holds none of them. Made
// under the DACL edit lock its caller holds (`held`).
std::expected<bool, HresultError> take_back_entries(PSID sid, const DaclObject& object,
                                                    TakenEntries which,
                                                    const DaclEditLock::Held& held);

// Whether `object` holds any of the SID's explicit entries of `which`.
std::expected<bool, HresultError> holds_entries(PSID sid, const DaclObject& object,
                                                TakenEntries which);

}  // namespace tavo

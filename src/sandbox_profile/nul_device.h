// Access to the NUL device for processes in the sandbox.
#pragma once

#include <expected>
#include <string>

#include "acl/dacl_lock.h"
#include "acl/placement.h"
#include "win/api.h"

namespace tavo {

// Gives the SID one allow entry (GENERIC_READ | GENERIC_WRITE) in the NUL device's own DACL, in
// place of any allow entries it has there (its deny entries stay), through an open handle, under
// the DACL edit lock its caller holds. The error is a message naming
// the step that failed. A `notice` hears of the entry before its write.
std::expected<void, std::string> grant_nul_device(PSID sid, const DaclEditLock::Held& held,
                                                  PlacementNotice* notice = nullptr);

// Removes the SID's allow entries from the NUL device's DACL; writes nothing when it has none.
std::expected<void, std::string> revoke_nul_device(PSID sid, const DaclEditLock::Held& held);

// Whether the NUL device's DACL holds an allow entry of the SID.
std::expected<bool, std::string> nul_device_admits(PSID sid);

}  // namespace tavo

// Access to the NUL device for processes in the sandbox.
#pragma once

#include <expected>
#include <string>

#include "acl/dacl_lock.h"
#include "win/api.h"

namespace tavo {

// Adds an allow entry (GENERIC_READ | GENERIC_WRITE) for the SID to the NUL device's own DACL,
// through an open handle, under the DACL edit lock its caller holds. The error is a message naming
// the step that failed.
std::expected<void, std::string> grant_nul_device(PSID sid, const DaclEditLock::Held& held);

}  // namespace tavo

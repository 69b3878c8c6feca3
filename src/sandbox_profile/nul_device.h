// Access to the NUL device for processes in the sandbox.
#pragma once

#include <expected>
#include <string>

#include "win/api.h"

namespace tavo {

// Adds an allow entry (GENERIC_READ | GENERIC_WRITE) for the SID to the NUL device's own DACL,
// through an open handle. The error is a message naming the step that failed.
std::expected<void, std::string> grant_nul_device(PSID sid);

}  // namespace tavo

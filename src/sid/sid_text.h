// A SID in text.
#pragma once

#include <expected>
#include <string>

#include "win/api.h"
#include "win/error.h"

namespace tavo {

// The SID's SDDL string ("S-1-15-2-...").
std::expected<std::string, HresultError> sid_to_sddl(PSID sid);

}  // namespace tavo

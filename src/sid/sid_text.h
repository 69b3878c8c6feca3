// A SID in text.
#pragma once

#include <expected>
#include <string>

#include "win/api.h"
#include "win/error.h"

namespace tavo {

// The SID's SDDL string ("S-1-15-2-...").
std::expected<std::string, HresultError> sid_to_sddl(PSID sid);

// Whether a valid SID is an AppContainer package SID: authority 15 (application package), then 2
// and seven more sub-authorities. Everyone, a user or ALL APPLICATION PACKAGES is not.
bool is_package_sid(PSID sid);

}  // namespace tavo

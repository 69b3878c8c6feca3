// Who this process runs as.
#pragma once

#include <expected>
#include <string>

#include "win/error.h"

namespace tavo {

// The SDDL string of the user of this process's token (the user, also when it runs elevated).
std::expected<std::string, HresultError> current_user_sid();

}  // namespace tavo

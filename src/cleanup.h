// The cleanup mode: taking a SID's entries back and deleting a per-name profile.
#pragma once

#include "cli.h"

namespace tavo {

// Exit status 0 when every revoke was confirmed, kStatusCleanupPartial otherwise.
int cleanup(const Cleanup& command);

}  // namespace tavo

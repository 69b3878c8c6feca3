// Read and execute access on the directories of PATH, through the system's icacls tool, and
// traversal on the directories above them.
#pragma once

#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "acl/dacl_lock.h"
#include "path_grant/grant_notices.h"
#include "sid/pool_entry.h"
#include "win/api.h"

namespace tavo {

// For one SID. The only error is an icacls that cannot be started; grant failures are warned
// about and the scan goes on.
std::expected<void, std::string> grant_path_dirs(PSID sid, std::string_view sddl,
                                                 DaclEditLock& lock,
                                                 GrantNotices* notices = nullptr);

// For every SID of a pool at once: one icacls run per directory carrying one grant per SID, plus
// the mingw64 directory beside a Git "cmd" directory. Every failure is logged; nothing stops it.
void grant_path_dirs_batch(std::span<const PoolEntry> entries, DaclEditLock& lock,
                           GrantNotices* notices = nullptr);

}  // namespace tavo

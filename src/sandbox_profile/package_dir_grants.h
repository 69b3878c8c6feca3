// Access to the user's package-manager and tool-cache directories.
#pragma once

#include <span>

#include "acl/dacl_lock.h"
#include "path_grant/grant_notices.h"
#include "sid/pool_entry.h"
#include "win/api.h"

namespace tavo {

// Read-write access (inheritable) on each existing directory, through the ACL calls. Failures are
// logged at debug level; nothing is reported.
void grant_user_package_dirs(PSID sid, DaclEditLock& lock, GrantNotices* notices = nullptr);

// Full access for every pool SID, one icacls run per existing directory. Each outcome is logged.
void grant_user_package_dirs_batch(std::span<const PoolEntry> entries,
                                   GrantNotices* notices = nullptr);

}  // namespace tavo

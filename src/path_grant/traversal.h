// Traversal grants: letting a SID pass through the directories above the places it may use.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "acl/dacl_lock.h"
#include "acl/placement.h"
#include "win/api.h"

namespace tavo {

// Grants traversal on every proper ancestor of `path` (resolved to its final path when it
// exists), nearest first, the root included; ancestors that already admit all application
// packages are skipped. The first failure ends the walk. Each grant holds `lock` for itself. A
// `notice` hears of each entry before its write.
std::expected<void, std::string> grant_cwd_ancestors(PSID sid, std::string_view path,
                                                     DaclEditLock& lock,
                                                     PlacementNotice* notice = nullptr);

// The same for a folder and everything above it, `folder` itself first, as named (its links are
// not resolved first).
std::expected<void, std::string> grant_folder_and_ancestors(PSID sid, std::string_view folder,
                                                            DaclEditLock& lock,
                                                            PlacementNotice* notice = nullptr);

// Grants traversal on the root of the system drive (%SystemDrive%\, or C:\).
std::expected<void, std::string> grant_drive_root_traversal(PSID sid, DaclEditLock& lock,
                                                            PlacementNotice* notice = nullptr);

}  // namespace tavo

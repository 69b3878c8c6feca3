// Traversal grants: letting a SID pass through the directories above the places it may use.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "win/api.h"

namespace tavo {

// Grants traversal on every proper ancestor of `path` (resolved to its final path when it
// exists), nearest first, the root included; ancestors that already admit all application
// packages are skipped. The first failure ends the walk. To cover a directory itself, pass a
// child of it ("{dir}\x"); the child need not exist.
std::expected<void, std::string> grant_cwd_ancestors(PSID sid, std::string_view path);

// Grants traversal on the root of the system drive (%SystemDrive%\, or C:\).
std::expected<void, std::string> grant_drive_root_traversal(PSID sid);

}  // namespace tavo

// Retiring a shared SID's file, so that no later run can take the SID from it.
#pragma once

#include <expected>
#include <string>
#include <string_view>

namespace tavo {

// Deletes the SID file at `path` when the folder holding it is one only SYSTEM and the
// Administrators can change (as the registrations make them), through a handle that does not
// follow a link; and, when that folder holds the pool's version marker (the file is a pool
// member's), the marker too, so that the pool reads as stale. The error says what was left.
std::expected<void, std::string> retire_sid_file(std::string_view path);

}  // namespace tavo

// The pool directory's version marker, and the removal of old SID files before a registration.
#pragma once

#include <cstdint>
#include <expected>
#include <string_view>

#include "win/error.h"

namespace tavo {

// The version of the pool registration that this program performs.
inline constexpr std::uint32_t POOL_REGISTRATION_VERSION = 1;
// The marker's name inside the pool directory.
inline constexpr std::string_view kPoolVersionFile = ".registration-version";

// Puts "<version>\n" in the marker as the administrators' file, replacing the marker that was
// there (write_text_file).
std::expected<void, HresultError> write_pool_version(std::string_view pool_dir);

// True when the marker holds a version at least POOL_REGISTRATION_VERSION. A missing,
// unreadable or malformed marker means the pool is stale.
bool check_pool_version(std::string_view pool_dir);

// Removes every regular file directly in the pool directory whose extension is exactly "dat",
// each through a handle that does not follow a link. A link or a directory so named is left in
// place, and it and any failed removal are warned about; a directory that cannot be listed is
// left alone silently.
void clear_pool_dats(std::string_view pool_dir);

}  // namespace tavo

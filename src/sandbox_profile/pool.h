// Registering a numbered pool of sandbox profiles with one SID file each.
#pragma once

#include <cstdint>
#include <expected>
#include <string_view>

#include "win/error.h"

namespace tavo {

// Registers profiles tavo-sandbox-pool-0 .. N-1, writes "<SDDL>.dat" for each into the pool
// directory and the version marker last. Returns the number of SID files written. Nothing done
// before a fatal failure is undone.
std::expected<std::uint32_t, HresultError> register_pool(std::uint32_t pool_size,
                                                         std::string_view pool_dir);

}  // namespace tavo

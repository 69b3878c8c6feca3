// Constants of the profile pool, shared by the command line and pool registration.
#pragma once

#include <cstdint>
#include <string_view>

namespace tavo {

// The largest pool that can be registered.
inline constexpr std::uint32_t POOL_SIZE_MAX = 10;
// Pool member i is the profile "tavo-sandbox-pool-<i>".
inline constexpr std::string_view POOL_PROFILE_PREFIX = "tavo-sandbox-pool-";

}  // namespace tavo

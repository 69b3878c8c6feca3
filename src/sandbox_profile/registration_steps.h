// The steps a registration gives each of its SIDs once they exist and are exempt from loopback
// isolation, with what a failure of each costs a single profile and a pool. The two registrations
// share one table so that where they differ (the NUL device and the drive root are fatal for a
// pool only) shows on one row instead of in two files.
#pragma once

#include <cstddef>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "sid/pool_entry.h"
#include "win/error.h"

namespace tavo {

// A profile's steps, in table order, for its one SID; the SID file goes to `sid_file` last.
std::expected<void, HresultError> run_profile_steps(const PoolEntry& member,
                                                    std::string_view profile_name,
                                                    std::string_view sid_file);

// Pool member i is the profile "tavo-sandbox-pool-<i>".
std::string pool_member_name(std::size_t index);

// A pool's steps, pass by pass: each pass runs its rows for every member before the next begins.
// Member i is the profile tavo-sandbox-pool-i; its SID file is "<SDDL>.dat" in `pool_dir`.
std::expected<void, HresultError> run_pool_steps(std::span<const PoolEntry> members,
                                                 std::string_view pool_dir);

}  // namespace tavo

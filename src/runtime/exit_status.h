// The program's exit statuses. A run mode that completes returns its command's status instead.
#pragma once

#include <cstdint>
#include <string_view>

namespace tavo {

enum ExitStatus : int {
  kStatusSuccess = 0,
  kStatusUsage = 10,           // the command line was rejected
  kStatusProfile = 11,         // run: the profile could not be created or derived
  kStatusPath = 12,            // run: a system path, or a grant or deny failed
  kStatusSetup = 13,           // run: SID file missing or unreadable; registrations failed
  kStatusLaunch = 14,          // run: no launch, or the command ended with an NTSTATUS
  kStatusPoolStale = 16,       // pool version check: registration is stale
  kStatusCleanupPartial = 17,  // cleanup could not confirm every revoke
  kStatusInternal = 101,       // a broken invariant
};

// The status of a run whose command ended with `exit_code`: kStatusLaunch for an NTSTATUS
// (0x80000000 and above); otherwise the code's low eight bits, except that a failing code whose
// low eight bits are all zero (256, 512, ...) gives 1, so a failure never reads as success.
int command_exit_status(std::uint32_t exit_code);

// Ends the process with kStatusInternal after one line on standard error. The one way out for a
// broken invariant.
[[noreturn]] void internal_failure(std::string_view what);

}  // namespace tavo

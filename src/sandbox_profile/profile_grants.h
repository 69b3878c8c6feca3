// The grants a profile's registration and a pool's registration give each SID alike. Each step
// hands its failures back, and the caller words them as its mode does.
#pragma once

#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "acl/dacl_change.h"
#include "acl/dacl_lock.h"
#include "win/api.h"
#include "win/error.h"

namespace tavo {

// The credential stores to deny, without those the system-path guard refuses (each warned about
// once, here).
std::vector<std::string> deniable_credential_stores(std::vector<std::string> stores);

// Denies the SID each store that exists at this moment; a missing one is passed by with a debug
// line, and a failed deny goes to `failed`.
// A `recorder` hears of each deny before its write (the ledger's record).
void deny_credential_stores(
    PSID sid, const std::vector<std::string>& stores,
    const std::function<void(const std::string& store, const HresultError&)>& failed,
    DaclEditLock& lock, ChangeRecorder* recorder = nullptr);

// The user's folders a registration lets its SIDs pass through, judged once by the guard:
// %USERPROFILE% and %LOCALAPPDATA%\Packages, each absent when unset or refused.
struct UserFolders {
  std::optional<std::string> home;
  std::optional<std::string> packages;
};
UserFolders user_folders();

// The profile's own package directory below `packages`, made when missing, with read-write
// access for the SID.
std::expected<void, HresultError> grant_package_dir(PSID sid, std::string_view packages,
                                                    std::string_view profile_name,
                                                    DaclEditLock& lock,
                                                    ChangeRecorder* recorder = nullptr);

}  // namespace tavo

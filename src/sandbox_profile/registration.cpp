#include "sandbox_profile/registration.h"

#include "acl/acl.h"
#include "acl/dacl_lock.h"
#include "path_grant/path_dirs.h"
#include "path_grant/traversal.h"
#include "runtime/log.h"
#include "sandbox_profile/admin_owned.h"
#include "sandbox_profile/credential_denylist.h"
#include "sandbox_profile/loopback.h"
#include "sandbox_profile/nul_device.h"
#include "sandbox_profile/package_dir_grants.h"
#include "sandbox_profile/profile_grants.h"
#include "sandbox_profile/profiles.h"
#include "sandbox_profile/registration_ledger.h"
#include "sandbox_profile/sid.h"
#include "sid/sid_text.h"

namespace tavo {
namespace {

void apply_credential_denies(PSID sid, DaclEditLock& lock, RegistrationLedger& ledger) {
  const std::vector<std::string> stores = credential_deny_paths();
  log(Level::Info, kTargetProfile, "applying {} credential DENY ACEs", stores.size());
  deny_credential_stores(
      sid, deniable_credential_stores(stores),
      [](const std::string& store, const HresultError& error) {
        log(Level::Warn, kTargetProfile, "DENY ACE on {} failed: {}", store, error);
      },
      lock, ledger.deny_of(sid));
}

// Traversal of the user's profile directory and of %LOCALAPPDATA%\Packages with everything above
// them, and read-write access to the profile's own package directory.
void grant_user_locations(PSID sid, std::string_view profile_name, DaclEditLock& lock,
                          RegistrationLedger& ledger) {
  if (auto grant = grant_drive_root_traversal(sid, lock, ledger.traversal_of(sid)); !grant) {
    log(Level::Warn, kTargetProfile, "drive root traversal grant failed (non-fatal): {}",
        grant.error());
  }
  const UserFolders folders = user_folders();
  if (folders.home) {
    if (auto grant = grant_folder_and_ancestors(sid, *folders.home, lock, ledger.traversal_of(sid));
        !grant) {
      log(Level::Warn, kTargetProfile, "USERPROFILE ancestor grants failed (non-fatal): {}",
          grant.error());
    }
  }
  if (folders.packages) {
    if (auto grant =
            grant_folder_and_ancestors(sid, *folders.packages, lock, ledger.traversal_of(sid));
        !grant) {
      log(Level::Warn, kTargetProfile,
          "LOCALAPPDATA\\Packages ancestor grants failed (non-fatal): {}", grant.error());
    }
    if (auto grant =
            grant_package_dir(sid, *folders.packages, profile_name, lock, ledger.grant_of(sid));
        !grant) {
      log(Level::Warn, kTargetProfile, "AC package dir grant failed (non-fatal): {}",
          grant.error());
    }
  }
}

}  // namespace

std::expected<void, HresultError> register_sandbox_profile(std::string_view profile_name,
                                                           std::string_view sid_out_file) {
  log(Level::Info, kTargetProfile, "registering profile={} sid_out_file={}", profile_name,
      sid_out_file);
  auto sid = ensure_profile(profile_name);
  if (!sid) return std::unexpected(sid.error());
  auto sddl = sid_to_sddl(sid->get());
  if (!sddl) return std::unexpected(sddl.error());
  log(Level::Info, kTargetProfile, "profile created/derived, SID={}", *sddl);

  if (auto exempt = exempt_loopback(sid->get()); !exempt) return std::unexpected(exempt.error());
  log(Level::Info, kTargetProfile, "loopback exemption registered");

  // One lock for the whole registration: its waits share one budget. Every lasting entry below
  // is recorded in the administrators' ledger before its write.
  DaclEditLock lock;
  RegistrationLedger ledger(lock);
  apply_credential_denies(sid->get(), lock, ledger);
  grant_user_locations(sid->get(), profile_name, lock, ledger);
  if (auto grant = grant_nul_device(sid->get(), lock.hold(), ledger.nul_device_of(sid->get()));
      !grant) {
    log(Level::Warn, kTargetProfile, "NUL device grant failed (non-fatal): {}", grant.error());
  }
  grant_user_package_dirs(sid->get(), lock, &ledger);
  if (auto grant = grant_path_dirs(sid->get(), *sddl, lock, &ledger); !grant) {
    log(Level::Warn, kTargetProfile, "PATH-scan grant failed (non-fatal): {}", grant.error());
  }

  // Last: a SID file exists only for a profile whose every step has run.
  if (auto written = write_text_file(sid_out_file, *sddl); !written) {
    return std::unexpected(written.error());
  }
  log(Level::Info, kTargetProfile, "persisted SDDL to {}", sid_out_file);
  return {};
}

}  // namespace tavo

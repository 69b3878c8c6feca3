#include "sandbox_profile/pool.h"

#include <vector>

#include "acl/dacl_lock.h"
#include "path_grant/path_dirs.h"
#include "path_grant/traversal.h"
#include "runtime/log.h"
#include "runtime/progress.h"
#include "sandbox_profile/admin_owned.h"
#include "sandbox_profile/credential_denylist.h"
#include "sandbox_profile/loopback.h"
#include "sandbox_profile/nul_device.h"
#include "sandbox_profile/package_dir_grants.h"
#include "sandbox_profile/pool_constants.h"
#include "sandbox_profile/pool_dir.h"
#include "sandbox_profile/pool_version.h"
#include "sandbox_profile/profile_grants.h"
#include "sandbox_profile/profiles.h"
#include "sandbox_profile/registration_ledger.h"
#include "sandbox_profile/sid.h"
#include "sid/pool_entry.h"
#include "sid/sid_text.h"
#include "win/path.h"

namespace tavo {
namespace {

std::unexpected<HresultError> fatal(std::string message) {
  return std::unexpected(HresultError::program(std::move(message)));
}

std::string member_name(std::uint32_t index) {
  return format("{}{}", POOL_PROFILE_PREFIX, index);
}

std::expected<std::vector<PoolEntry>, HresultError> ensure_members(std::uint32_t size) {
  std::vector<PoolEntry> entries;
  ProgressLine progress(size);
  for (std::uint32_t i = 0; i < size; ++i) {
    const std::string name = member_name(i);
    progress.show(i + 1, format("{}: profile", name));
    log(Level::Info, kTargetProfile, "[{}/{}] profile={}", i + 1, size, name);
    auto sid = ensure_profile(name);
    if (!sid) return std::unexpected(sid.error());
    auto sddl = sid_to_sddl(sid->get());
    if (!sddl) return std::unexpected(sddl.error());
    log(Level::Info, kTargetProfile, "[{}/{}] SID={}", i + 1, size, *sddl);
    entries.push_back(PoolEntry{std::move(*sid), std::move(*sddl)});
  }
  return entries;
}

// Credential denies, the NUL device and the SID file of each member; the count written.
std::expected<std::uint32_t, HresultError> write_members(const std::vector<PoolEntry>& entries,
                                                         std::string_view pool_dir,
                                                         DaclEditLock& lock,
                                                         RegistrationLedger& ledger) {
  const auto size = static_cast<std::uint32_t>(entries.size());
  // Judged once for the whole pool, so a refused store is warned about once.
  const std::vector<std::string> stores = deniable_credential_stores(credential_deny_paths());
  std::uint32_t written = 0;
  ProgressLine progress(size);
  for (std::uint32_t k = 1; k <= size; ++k) {
    const PoolEntry& entry = entries[k - 1];
    progress.show(k, format("{}: credential denies, NUL device, SID file", member_name(k - 1)));
    deny_credential_stores(
        entry.sid.get(), stores,
        [&](const std::string& store, const HresultError& error) {
          log(Level::Info, kTargetProfile, "[{}/{}] DENY on {} failed: {}", k, size, store, error);
        },
        lock, ledger.deny_of(entry.sid.get()));
    if (auto granted =
            grant_nul_device(entry.sid.get(), lock.hold(), ledger.nul_device_of(entry.sid.get()));
        !granted) {
      return fatal(
          format("[{}/{}] NUL device grant failed (critical): {}", k, size, granted.error()));
    }
    const std::string file = path::join(pool_dir, format("{}.dat", entry.sddl));
    if (auto saved = write_text_file(file, entry.sddl); !saved)
      return std::unexpected(saved.error());
    log(Level::Info, kTargetProfile, "[{}/{}] written {}", k, size, file);
    ++written;
  }
  return written;
}

std::expected<void, HresultError> grant_member_locations(const std::vector<PoolEntry>& entries,
                                                         DaclEditLock& lock,
                                                         RegistrationLedger& ledger) {
  const auto size = static_cast<std::uint32_t>(entries.size());
  // Judged once for the whole pool: a refused location is warned about once.
  const UserFolders folders = user_folders();
  ProgressLine progress(size);
  for (std::uint32_t k = 1; k <= size; ++k) {
    PSID sid = entries[k - 1].sid.get();
    progress.show(k, format("{}: traversal and package directory grants", member_name(k - 1)));
    if (auto granted = grant_drive_root_traversal(sid, lock, ledger.traversal_of(sid)); !granted) {
      return fatal(format("[{}/{}] drive root traversal grant failed (critical): {}", k, size,
                          granted.error()));
    }
    if (folders.home) {
      if (auto granted =
              grant_folder_and_ancestors(sid, *folders.home, lock, ledger.traversal_of(sid));
          !granted) {
        log(Level::Warn, kTargetProfile, "[{}/{}] USERPROFILE ancestor grant failed: {}", k, size,
            granted.error());
      }
    }
    if (folders.packages) {
      if (auto granted =
              grant_folder_and_ancestors(sid, *folders.packages, lock, ledger.traversal_of(sid));
          !granted) {
        log(Level::Warn, kTargetProfile, "[{}/{}] LOCALAPPDATA ancestor grant failed: {}", k, size,
            granted.error());
      }
      if (auto granted = grant_package_dir(sid, *folders.packages, member_name(k - 1), lock,
                                           ledger.grant_of(sid));
          !granted) {
        log(Level::Warn, kTargetProfile, "[{}/{}] AC package dir grant failed: {}", k, size,
            granted.error());
      }
    }
  }
  return {};
}

}  // namespace

std::expected<std::uint32_t, HresultError> register_pool(std::uint32_t pool_size,
                                                         std::string_view pool_dir) {
  log(Level::Info, kTargetProfile, "registering pool of {} SIDs in {}", pool_size, pool_dir);
  if (pool_size < 1 || pool_size > POOL_SIZE_MAX) {
    return fatal(format("pool_size must be 1..={}, got {}", POOL_SIZE_MAX, pool_size));
  }
  if (auto prepared = prepare_pool_dir(pool_dir); !prepared) {
    return std::unexpected(prepared.error());
  }
  clear_pool_dats(pool_dir);

  auto entries = ensure_members(pool_size);
  if (!entries) return std::unexpected(entries.error());
  std::vector<PSID> sids;
  for (const PoolEntry& entry : *entries)
    sids.push_back(entry.sid.get());
  if (auto exempt = exempt_loopback_pool(sids); !exempt) return std::unexpected(exempt.error());

  // One lock for the whole registration: its waits share one budget. Every lasting entry below
  // is recorded in the administrators' ledger before its write.
  DaclEditLock lock;
  RegistrationLedger ledger(lock);
  auto written = write_members(*entries, pool_dir, lock, ledger);
  if (!written) return std::unexpected(written.error());
  if (auto granted = grant_member_locations(*entries, lock, ledger); !granted) {
    return std::unexpected(granted.error());
  }
  grant_path_dirs_batch(*entries, lock, &ledger);
  grant_user_package_dirs_batch(*entries, &ledger);

  // Last: the marker tells readers that every step of this registration has run.
  if (auto marked = write_pool_version(pool_dir); !marked) {
    return fatal(format("write pool version file: {}", marked.error()));
  }
  log(Level::Info, kTargetProfile, "pool registration complete ({} SIDs)", *written);
  return *written;
}

}  // namespace tavo

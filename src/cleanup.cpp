#include "cleanup.h"

#include <optional>
#include <vector>

#include "acl/acl.h"
#include "acl/dacl_lock.h"
#include "acl/dacl_object.h"
#include "acl/path_blocklist.h"
#include "run_journal/recovery.h"
#include "runtime/exit_status.h"
#include "runtime/log.h"
#include "sandbox_profile/loopback.h"
#include "sandbox_profile/profiles.h"
#include "sandbox_profile/recorded_entries.h"
#include "sandbox_profile/retired_sid_file.h"
#include "sandbox_profile/sid_file.h"

namespace tavo {
namespace {

// Where the SID came from decides whether the profile may go: a SID file names a shared
// profile, a profile name one of this caller's own.
enum class Resolution { Stable, Derived, Unresolved };

std::pair<SandboxSid, Resolution> resolve_sid(const Cleanup& command) {
  if (command.sandbox_sid_file) {
    // A named SID file is never replaced by a derived SID, even when it cannot be read.
    auto sid = read_sid_file(*command.sandbox_sid_file);
    if (!sid) {
      log(Level::Error, kTargetMain, "cleanup: read STABLE-SID from {} failed: {}",
          *command.sandbox_sid_file, sid.error());
      return {SandboxSid{}, Resolution::Unresolved};
    }
    return {std::move(*sid), Resolution::Stable};
  }
  auto sid = derive_sid(command.profile_name);
  if (!sid) {
    log(Level::Error, kTargetMain, "cleanup: derive_sid failed: {}", sid.error());
    return {SandboxSid{}, Resolution::Unresolved};
  }
  return {std::move(*sid), Resolution::Derived};
}

bool is_gone(const HresultError& error) {
  return error.code() == HresultError::from_win32(ERROR_FILE_NOT_FOUND).code() ||
         error.code() == HresultError::from_win32(ERROR_PATH_NOT_FOUND).code();
}

void log_refusal(const std::string& path) {
  log(Level::Warn, kTargetMain, "cleanup: refusing to revoke ACL on system path: {}", path);
}

// The ledgers this cleanup reads and changes, looked up once when first needed.
class CleanupLedgers {
 public:
  std::vector<Ledger>& get() {
    if (!ledgers_) ledgers_ = readable_ledgers();
    return *ledgers_;
  }

 private:
  std::optional<std::vector<Ledger>> ledgers_;
};

// Whether the path counts as done. An object the guard refuses when it is opened (a link to a
// system location) is refused as a system path is.
bool revoke_one(PSID sid, const std::string& path, CleanupLedgers& ledgers, DaclEditLock& lock) {
  if (is_refused_path(path)) {
    log_refusal(path);
    return true;
  }
  auto revoked = revoke_access(sid, path, lock.hold());
  if (revoked) {
    forget_revoked(sid, *revoked, ledgers.get(), lock);
    return true;
  }
  if (is_refused_object(revoked.error())) {
    log_refusal(path);
    return true;
  }
  if (is_gone(revoked.error())) {
    log(Level::Info, kTargetMain, "cleanup: revoke {} skipped (path no longer exists)", path);
    return true;
  }
  log(Level::Warn, kTargetMain, "cleanup: revoke {} failed: {}", path, revoked.error());
  return false;
}

// Everything the ledgers record for the SID, and its loopback exemption: left in place, they
// would give a profile of the same name made later (the same derived SID) the same access. The
// number of entries that could not be taken back.
std::size_t take_back_everything(PSID sid, CleanupLedgers& ledgers, DaclEditLock& lock) {
  std::size_t failed = take_back_recorded(sid, ledgers.get(), deny_held_by_live_runs(), lock);
  auto exempt = remove_loopback_exemption(sid);
  if (!exempt && exempt.error().listed) {
    log(Level::Warn, kTargetMain, "cleanup: removing the loopback exemption failed: {}",
        exempt.error().error);
    ++failed;
  } else if (!exempt) {
    // A list that cannot be read at all (no network-isolation functions) holds no exemption to
    // take back as far as anyone here can tell: that is no failure.
    log(Level::Debug, kTargetMain, "cleanup: loopback exemption not checked: {}",
        exempt.error().error);
  }
  return failed;
}

}  // namespace

int cleanup(const Cleanup& command) {
  // What killed runs left behind goes first: a cleanup after a crash finishes their rollback.
  DaclEditLock lock;
  recover_interrupted_runs(lock);
  auto [sid, resolution] = resolve_sid(command);
  if (resolution == Resolution::Unresolved) {
    log(Level::Info, kTargetMain,
        "cleanup: skipping DeleteAppContainerProfile \xE2\x80\x94 SID resolution failed, ACEs may "
        "still reference it");
    log(Level::Error, kTargetMain,
        "cleanup: exiting CLEANUP_PARTIAL \xE2\x80\x94 SID resolution failed, nothing could be "
        "confirmed revoked");
    return kStatusCleanupPartial;
  }

  CleanupLedgers ledgers;
  std::size_t done = 0;
  for (const std::string& path : command.revoke)
    done += revoke_one(sid.get(), path, ledgers, lock) ? 1 : 0;

  std::size_t left = 0;
  if (resolution == Resolution::Derived || command.revoke_all)
    left = take_back_everything(sid.get(), ledgers, lock);
  if (command.revoke_all) {
    // Last: a SID file that is gone while entries of its SID stay would leave them to nobody.
    if (left > 0) {
      log(Level::Warn, kTargetMain, "cleanup: SID file {} kept: entries of its SID stay",
          *command.sandbox_sid_file);
    } else if (auto retired = retire_sid_file(*command.sandbox_sid_file); !retired) {
      log(Level::Warn, kTargetMain, "cleanup: {}", retired.error());
      ++left;
    }
  }

  if (resolution == Resolution::Stable) {
    log(Level::Info, kTargetMain,
        "cleanup: skipping DeleteAppContainerProfile \xE2\x80\x94 profile is shared across "
        "sessions (STABLE-SID)");
  } else if (auto deleted = delete_profile(command.profile_name); !deleted) {
    log(Level::Warn, kTargetMain, "cleanup: delete profile failed: {}", deleted.error());
  }

  if (done < command.revoke.size()) {
    log(Level::Error, kTargetMain, "cleanup: {} of {} revoke(s) failed",
        command.revoke.size() - done, command.revoke.size());
    return kStatusCleanupPartial;
  }
  if (left > 0) {
    log(Level::Error, kTargetMain, "cleanup: {} recorded entr(ies) could not be taken back", left);
    return kStatusCleanupPartial;
  }
  return kStatusSuccess;
}

}  // namespace tavo

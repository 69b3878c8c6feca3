#include "cleanup.h"

#include "acl/acl.h"
#include "acl/dacl_lock.h"
#include "acl/dacl_object.h"
#include "acl/path_blocklist.h"
#include "run_journal/recovery.h"
#include "runtime/exit_status.h"
#include "runtime/log.h"
#include "sandbox_profile/profiles.h"
#include "sandbox_profile/sid.h"

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

// Whether the path counts as done. An object the guard refuses when it is opened (a link to a
// system location) is refused as a system path is.
bool revoke_one(PSID sid, const std::string& path, DaclEditLock& lock) {
  if (is_refused_path(path)) {
    log_refusal(path);
    return true;
  }
  auto revoked = revoke_access(sid, path, lock.hold());
  if (revoked) return true;
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

  std::size_t done = 0;
  for (const std::string& path : command.revoke)
    done += revoke_one(sid.get(), path, lock) ? 1 : 0;

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
  return kStatusSuccess;
}

}  // namespace tavo

#include "run_mode.h"

#include <vector>

#include "acl/acl.h"
#include "acl/dacl_lock.h"
#include "acl/dacl_object.h"
#include "acl/path_blocklist.h"
#include "launch/spawn.h"
#include "path_grant/traversal.h"
#include "run_journal/journal_store.h"
#include "run_journal/journal_text.h"
#include "run_journal/recovery.h"
#include "run_session.h"
#include "runtime/exit_status.h"
#include "runtime/log.h"
#include "sandbox_profile/nul_device.h"
#include "sandbox_profile/profiles.h"
#include "sandbox_profile/sid_file.h"

namespace tavo {
namespace {

std::expected<SandboxSid, int> obtain_sid(const Run& command) {
  if (command.sandbox_sid_file) {
    auto sid = read_sid_file(*command.sandbox_sid_file);
    if (!sid) {
      log(Level::Error, kTargetMain,
          "--sandbox-sid-file '{}' failed: {} (run with `--register-sandbox-profile` as admin to "
          "fix)",
          *command.sandbox_sid_file, sid.error());
      return std::unexpected(kStatusSetup);
    }
    return std::move(*sid);
  }
  auto sid = ensure_profile(command.profile_name);
  if (!sid) {
    log(Level::Error, kTargetMain, "ensure profile failed: {}", sid.error());
    return std::unexpected(kStatusProfile);
  }
  return std::move(*sid);
}

// The first path of the run that the guard refuses, in the order the grants and denies apply.
const std::string* first_refused_path(const Run& command) {
  for (const auto* list : {&command.grant_rw, &command.grant_r, &command.deny_access}) {
    for (const std::string& path : *list) {
      if (is_refused_path(path)) return &path;
    }
  }
  return nullptr;
}

// A run's journal holds its first lines and a line per grant and deny, which names the path as
// typed and as reached (counted here as long again) and the SID's entries before the change
// (given an allowance far above what an object holds). Recovery sets a journal past the limit
// aside unread, so a run whose journal could pass it is refused before it changes anything.
bool journal_fits(const Run& command) {
  constexpr std::size_t kFirstLines = 512;
  constexpr std::size_t kEntriesAllowance = 256;
  std::size_t bound = kFirstLines;
  for (const auto* list : {&command.grant_rw, &command.grant_r, &command.deny_access}) {
    for (const std::string& path : *list) {
      DaclChange change{};
      change.kind = list == &command.deny_access ? ChangeKind::DenyEntry : ChangeKind::Grant;
      change.path = path;
      change.object = path;
      bound += 2 * change_line(change).size() + kEntriesAllowance;
      if (bound > kMaxJournalBytes) return false;
    }
  }
  return true;
}

void log_refusal(const std::string& path) {
  log(Level::Error, kTargetMain, "refusing to modify ACL on system path: {}", path);
}

// Applies `edit` to each path in order; the first failure is logged as "{operation} {path}
// failed: {error}" and ends the list. An object the guard refuses at the edit (its path was
// turned into a link to a system location after the check at the start) is refused as a system
// path is.
template <class Edit>
bool apply_each(const std::vector<std::string>& paths, std::string_view operation, Edit edit) {
  for (const std::string& path : paths) {
    if (auto applied = edit(path); !applied) {
      if (is_refused_object(applied.error())) {
        log_refusal(path);
      } else {
        log(Level::Error, kTargetMain, "{} {} failed: {}", operation, path, applied.error());
      }
      return false;
    }
  }
  return true;
}

int status_of(std::uint32_t exit_code) {
  if (exit_code >= 0x80000000u) {
    log(Level::Warn, kTargetMain, "child terminated with NTSTATUS 0x{:08x}", exit_code);
  }
  return command_exit_status(exit_code);
}

}  // namespace

int run_sandboxed(const Run& command) {
  if (command.network_mode != NetworkMode::DefaultBlocked && !command.sandbox_sid_file) {
    log(Level::Error, kTargetMain,
        "network mode {} requires --sandbox-sid-file (admin setup not run?)", command.network_mode);
    return kStatusSetup;
  }
  // Refused before the profile, the grants or the journal are touched: a launch that cannot
  // start must leave nothing to roll back.
  if (!is_launchable_program(command.command)) {
    log(Level::Error, kTargetMain, "spawn failed: {}",
        HresultError::from_win32(ERROR_INVALID_NAME));
    return kStatusLaunch;
  }
  // Released once, on every path: by the session once it has taken the SID over.
  auto sid = obtain_sid(command);
  if (!sid) return sid.error();

  if (const std::string* refused = first_refused_path(command)) {
    log_refusal(*refused);
    return kStatusPath;
  }

  if (!journal_fits(command)) {
    log(Level::Error, kTargetMain, "refusing the run: its journal could pass {} bytes",
        kMaxJournalBytes);
    return kStatusPath;
  }

  // Opened once for the whole run, so that all its waits for the lock share one budget.
  DaclEditLock lock;
  // What killed runs left behind goes before this run changes anything.
  const bool journal_dir_checked = recover_interrupted_runs(lock);

  // From here the run changes the machine: however it ends, the session's end takes back what
  // the run does not keep.
  RunSession session(std::move(*sid), lock, journal_dir_checked, command.keep_denies);
  // Every lasting entry goes into the user's ledger before it is written.
  PlacementNote traverse_note(session.placements(), EntryKind::Traverse, "traverse");
  PlacementNote nul_note(session.placements(), EntryKind::NulDevice, "rw");
  if (command.cwd) {
    if (auto granted = grant_cwd_ancestors(session.sid(), *command.cwd, lock, &traverse_note);
        !granted) {
      log(Level::Warn, kTargetMain, "grant_cwd_ancestors failed (non-fatal): {}", granted.error());
    }
  }
  if (auto granted = grant_nul_device(session.sid(), lock.hold(), &nul_note); !granted) {
    log(Level::Warn, kTargetMain, "NUL device grant failed (non-fatal): {}", granted.error());
  }

  // Whatever the run changed and did not keep is undone, last change first, when it ends.
  UndoLog& undo = session.undo();
  // Every command runs without the standing denies it does not ask for: they go before the
  // run's own edits, so that a grant of a standing deny's object records what stands after it.
  StandingDenies& standing = session.standing();
  standing.take_back_unasked(command.deny_access, lock);
  ChangeRecorder& deny_recorder = command.keep_denies ? static_cast<ChangeRecorder&>(standing)
                                                      : static_cast<ChangeRecorder&>(undo);
  GrantNote rw_note(undo, session.placements(), "rw");
  GrantNote r_note(undo, session.placements(), "r");
  auto grant_rw = [&](const std::string& path) {
    return grant_access(session.sid(), path, AccessLevel::ReadWrite, lock.hold(), &rw_note);
  };
  auto grant_r = [&](const std::string& path) {
    return grant_access(session.sid(), path, AccessLevel::Read, lock.hold(), &r_note);
  };
  auto deny = [&](const std::string& path) {
    return deny_access(session.sid(), path, lock.hold(), &deny_recorder);
  };
  if (!apply_each(command.grant_rw, "grant_rw", grant_rw) ||
      !apply_each(command.grant_r, "grant_r", grant_r) ||
      !apply_each(command.deny_access, "deny_access", deny)) {
    session.end();
    return kStatusPath;
  }

  HANDLE stop = session.guard_console();
  // Anyone may have taken a deny entry off since it was placed: the command starts with every
  // deny it asked for.
  undo.put_back_removed_denies();
  standing.put_back_removed(lock);
  undo.command_starting();
  auto exit_code =
      launch_sandboxed(session.sid(), command.command, command.args, command.cwd, stop);
  if (exit_code) {
    // The grants stay for later runs; the denies belong to this one and go now.
    session.keep_grants();
  } else {
    log(Level::Error, kTargetMain, "spawn failed: {}", exit_code.error());
  }
  session.end();
  return exit_code ? status_of(*exit_code) : kStatusLaunch;
}

}  // namespace tavo

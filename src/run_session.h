// One run from the moment it may change the machine to its end: what it changed, and the one
// order in which its end takes that back.
#pragma once

#include <optional>

#include "acl/dacl_lock.h"
#include "launch/console_events.h"
#include "run_journal/run_placements.h"
#include "run_journal/standing_denies.h"
#include "run_journal/undo_log.h"
#include "sid/sandbox_sid.h"
#include "win/api.h"

namespace tavo {

// Owns the run's SID, its ledger records, its undo log, its view of the SID's standing denies and,
// once the command is about to start, the console guard. The run ends in end(), which every way
// out reaches (the destructor calls it): everything the run did not keep is undone, last change
// first; the ledger records of grants the run added go unless the command ran and the run kept its
// grants; and only then may a console close end the process. A return anywhere in between cannot
// let the process end in the middle of the rollback, nor leave records of grants taken back.
class RunSession {
 public:
  // `lock` is borrowed: opened by the run before its recovery, it outlives the session.
  // `journal_dir_checked` and `keep_denies`: see UndoLog and StandingDenies.
  RunSession(SandboxSid sid, DaclEditLock& lock, bool journal_dir_checked, bool keep_denies);
  ~RunSession() { end(); }
  RunSession(const RunSession&) = delete;
  RunSession& operator=(const RunSession&) = delete;

  PSID sid() const { return sid_.get(); }
  DaclEditLock& lock() { return lock_; }
  RunPlacements& placements() { return placements_; }
  UndoLog& undo() { return undo_; }
  StandingDenies& standing() { return standing_; }

  // Just before the launch: from here a console's close, logoff or shutdown waits for the end's
  // rollback. The event the launch watches (null when the guard could not be set up).
  HANDLE guard_console();

  // The command ran: its grants stay for later runs, and so do their records.
  void keep_grants();

  // Takes back what the run did not keep, in the order above. Once: later calls do nothing.
  void end();

 private:
  SandboxSid sid_;
  DaclEditLock& lock_;
  RunPlacements placements_;
  UndoLog undo_;
  StandingDenies standing_;
  std::optional<ConsoleEventGuard> console_;
  bool grants_kept_ = false;
  bool ended_ = false;
};

}  // namespace tavo

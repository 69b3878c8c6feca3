#include "run_session.h"

namespace tavo {

RunSession::RunSession(SandboxSid sid, DaclEditLock& lock, bool journal_dir_checked,
                       bool keep_denies)
    : sid_(std::move(sid)),
      lock_(lock),
      placements_(sid_.get()),
      undo_(sid_.get(), lock_, journal_dir_checked),
      standing_(sid_.get(), undo_, keep_denies) {}

HANDLE RunSession::guard_console() {
  if (!console_) console_.emplace();
  return console_->stop_event();
}

void RunSession::keep_grants() {
  undo_.keep_grants();
  grants_kept_ = true;
}

void RunSession::end() {
  if (ended_) return;
  ended_ = true;
  undo_.undo_all();
  // Grants the rollback took back leave the ledger; kept ones stay in it.
  if (!grants_kept_) placements_.forget_added_grants(lock_);
  // Last: a console close waiting in the guard may end the process once this returns.
  if (console_) console_->rollback_done();
}

}  // namespace tavo

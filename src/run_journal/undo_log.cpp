#include "run_journal/undo_log.h"

#include <algorithm>

#include "acl/acl.h"
#include "acl/dacl_lock.h"
#include "run_journal/journal_store.h"
#include "run_journal/other_runs.h"
#include "runtime/log.h"
#include "sid/sid_text.h"

namespace tavo {

UndoLog::UndoLog(PSID sid)
    : sid_(sid), sid_text_(sid_to_sddl(sid).value_or("")), journal_(sid_text_, journal_dir()) {}

void UndoLog::before_write(DaclChange change) {
  // Called under the DACL edit lock, so the other runs' journals cannot change meanwhile.
  if (change.kind == ChangeKind::Deny) {
    OtherRuns others = journal_.other_runs();
    if (const DaclChange* first = others.live_deny(sid_text_, change.object)) {
      change.entries = first->entries;
      change.was_protected = first->was_protected;
    }
  }
  journal_.record(change);
  changes_.push_back(std::move(change));
}

void UndoLog::write_failed() {
  journal_.drop_last();
  changes_.pop_back();
}

void UndoLog::keep_grants() {
  std::erase_if(changes_,
                [](const DaclChange& change) { return change.kind == ChangeKind::Grant; });
}

void UndoLog::undo_all() {
  if (changes_.empty()) {
    journal_.remove();
    return;
  }
  // Held to the end, journal removal included: another run sees this run's journal whole, or
  // gone with its undo done.
  DaclEditLock lock;
  OtherRuns others = journal_.other_runs();
  // Last first: a later edit of the same object recorded what an earlier one had left, so only
  // this order ends at what stood before the run.
  while (!changes_.empty()) {
    undo_change(sid_, changes_.back(), others, sid_text_);
    changes_.pop_back();
  }
  journal_.remove();
}

bool undo_change(PSID sid, const DaclChange& change, OtherRuns& others, std::string_view sid_text) {
  if (change.kind == ChangeKind::Deny && others.live_deny(sid_text, change.object) != nullptr) {
    log(Level::Debug, kTargetMain, "deny on {} left to a run of the same SID still running",
        change.path);
    return false;
  }
  if (auto undone = restore_entries(sid, change); !undone) {
    log(Level::Warn, kTargetMain,
        change.kind == ChangeKind::Grant ? "rollback revoke {} failed: {}"
                                         : "rollback deny-revoke {} failed: {}",
        change.path, undone.error());
    return false;
  }
  return true;
}

}  // namespace tavo

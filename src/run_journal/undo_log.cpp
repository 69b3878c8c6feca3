#include "run_journal/undo_log.h"

#include <algorithm>

#include "acl/acl.h"
#include "acl/changed_object.h"
#include "run_journal/journal_store.h"
#include "run_journal/other_runs.h"
#include "runtime/log.h"
#include "sid/sid_text.h"

namespace tavo {

UndoLog::UndoLog(PSID sid, DaclEditLock& lock, bool journal_dir_checked)
    : sid_(sid),
      lock_(lock),
      sid_text_(sid_to_sddl(sid).value_or("")),
      journal_(sid_text_, journal_dir(), journal_dir_checked) {}

void UndoLog::before_write(DaclChange change) {
  // Called under the DACL edit lock, so the other runs' journals cannot change meanwhile.
  if (change.kind == ChangeKind::Deny) {
    OtherRuns others = journal_.other_runs();
    if (const DaclChange* first = others.live_deny(sid_text_, change)) {
      change.entries = first->entries;
      change.was_protected = first->was_protected;
    }
  }
  journal_.record(change);
  changes_.push_back(Held{std::move(change), std::nullopt});
}

void UndoLog::write_failed() {
  journal_.drop_last();
  changes_.pop_back();
}

void UndoLog::written(DaclObject object) {
  changes_.back().object = std::move(object);
}

void UndoLog::command_starting() {
  journal_.command_starting();
  for (Held& held : changes_) {
    if (held.change.kind == ChangeKind::Grant) held.object.reset();
  }
}

void UndoLog::keep_grants() {
  std::erase_if(changes_, [](const Held& held) { return held.change.kind == ChangeKind::Grant; });
}

void UndoLog::undo_all() {
  if (changes_.empty()) {
    journal_.remove();
    return;
  }
  // Held to the end, journal removal included: another run sees this run's journal whole, or
  // gone with its undo done.
  const DaclEditLock::Held locked = lock_.hold();
  OtherRuns others = journal_.other_runs();
  // Last first: a later edit of the same object recorded what an earlier one had left, so only
  // this order ends at what stood before the run.
  while (!changes_.empty()) {
    const Held& held = changes_.back();
    undo_change(sid_, held.change, held.object ? &*held.object : nullptr, others, sid_text_,
                locked);
    changes_.pop_back();
  }
  journal_.remove();
}

bool undo_change(PSID sid, const DaclChange& change, const DaclObject* object, OtherRuns& others,
                 std::string_view sid_text, const DaclEditLock::Held& held) {
  const char* what = change.kind == ChangeKind::Grant ? "revoke" : "deny-revoke";
  if (change.kind == ChangeKind::Deny && others.live_deny(sid_text, change) != nullptr) {
    log(Level::Debug, kTargetMain, "deny on {} left to a run of the same SID still running",
        change.path);
    return false;
  }
  std::optional<DaclObject> reached;
  if (object == nullptr) {
    auto found = reach_changed_object(change);
    if (!found) {
      log(Level::Warn, kTargetMain, "rollback {} {} left alone: {}", what, change.path,
          found.error());
      return false;
    }
    reached = std::move(*found);
    object = &*reached;
  }
  if (auto undone = restore_entries(sid, change, *object, held); !undone) {
    log(Level::Warn, kTargetMain, "rollback {} {} failed: {}", what, change.path, undone.error());
    return false;
  }
  return true;
}

}  // namespace tavo

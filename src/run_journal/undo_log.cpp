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
  // Called under the DACL edit lock. The hold is taken before the entry is written, so no other
  // run can find the entry without a holder and take it for one that stood before.
  DenyHold hold;
  if (change.kind == ChangeKind::DenyEntry && change.identity) {
    hold = DenyHold::take(sid_text_, *change.identity, HoldKind::Owner);
  }
  journal_.record(change);
  changes_.push_back(Held{std::move(change), std::nullopt, std::move(hold), true});
}

void UndoLog::deny_stands(DaclChange change, DaclObject object) {
  // Called under the DACL edit lock: whether another run holds the entry cannot change before
  // this run holds it too. Owned by a live run, the entry is one a run placed, and the last of
  // the runs owning it takes it back (a run that only needs it does not make it a run's). So is one
  // a gone run of this user placed whose journal is not recovered yet (it died after this run's
  // recovery): this run takes it over. With no holder otherwise, it is one this run must leave
  // standing.
  bool joins = false;
  if (change.identity) {
    switch (deny_holders(sid_text_, *change.identity, HoldKind::Owner)) {
      case DenyHolders::Some:
        joins = true;
        break;
      case DenyHolders::None:
        joins = journal_.other_runs().deny_entry_of_gone_run(sid_text_, change);
        break;
      case DenyHolders::Unknown:
        break;
    }
  }
  DenyHold hold;
  if (change.identity) {
    hold = DenyHold::take(sid_text_, *change.identity, joins ? HoldKind::Owner : HoldKind::Need);
  }
  if (joins) journal_.record(change);
  changes_.push_back(Held{std::move(change), std::move(object), std::move(hold), joins});
}

void UndoLog::write_failed() {
  journal_.drop_last();
  changes_.pop_back();
}

void UndoLog::written(DaclObject object) {
  changes_.back().object = std::move(object);
}

void UndoLog::put_back_removed_denies() {
  const DaclEditLock::Held locked = lock_.hold();
  for (Held& held : changes_) {
    if (held.change.kind != ChangeKind::DenyEntry || !held.object) continue;
    // Put back by this run, the entry is one it placed: journaled as such before the write.
    auto put_back = put_back_deny(sid_, held.change.entries.front(), *held.object, locked, [&] {
      if (held.takes_back) return;
      journal_.record(held.change);
      held.hold = DenyHold::take(sid_text_, *held.change.identity, HoldKind::Owner);
    });
    if (!put_back) {
      log(Level::Warn, kTargetMain, "deny on {} could not be checked before the launch: {}",
          held.change.path, put_back.error());
      continue;
    }
    if (*put_back) {
      held.takes_back = true;
      log(Level::Info, kTargetMain, "deny on {} was removed meanwhile and is put back",
          held.change.path);
    }
  }
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
  const OtherRuns others = journal_.other_runs();
  // Last first: a later edit of the same object recorded what an earlier one had left, so only
  // this order ends at what stood before the run.
  while (!changes_.empty()) {
    Held& held = changes_.back();
    // This run's own hold goes first, so that only other processes' holds keep the entry.
    held.hold.release();
    if (held.takes_back) {
      undo_change(sid_, held.change, held.object ? &*held.object : nullptr, others, sid_text_,
                  locked);
    }
    changes_.pop_back();
  }
  journal_.remove();
}

bool undo_change(PSID sid, const DaclChange& change, const DaclObject* object,
                 const OtherRuns& others, std::string_view sid_text,
                 const DaclEditLock::Held& held) {
  const char* what = change.kind == ChangeKind::Grant ? "revoke" : "deny-revoke";
  if (change.kind == ChangeKind::Deny && others.live_deny(sid_text, change) != nullptr) {
    log(Level::Debug, kTargetMain, "deny on {} left to a run of the same SID still running",
        change.path);
    return false;
  }
  if (change.kind == ChangeKind::DenyEntry && change.identity) {
    switch (deny_holders(sid_text, *change.identity)) {
      case DenyHolders::None:
        break;
      case DenyHolders::Some:
        log(Level::Debug, kTargetMain, "deny on {} left to a process still holding it",
            change.path);
        return false;
      case DenyHolders::Unknown:
        // Someone may need it: a deny left in place is the safe side.
        log(Level::Warn, kTargetMain, "rollback {} {} left alone: its hold {} cannot be opened",
            what, change.path, deny_hold_name(sid_text, *change.identity, HoldKind::Owner));
        return false;
    }
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
  auto undone = change.kind == ChangeKind::DenyEntry ? remove_deny_entry(sid, change, *object, held)
                                                     : restore_entries(sid, change, *object, held);
  if (!undone) {
    log(Level::Warn, kTargetMain, "rollback {} {} failed: {}", what, change.path, undone.error());
    return false;
  }
  return true;
}

}  // namespace tavo

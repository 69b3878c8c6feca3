// What a run places that lasts (its grants, traversal and the NUL device), recorded in the user's
// ledger before each write, so that a later cleanup can take every one of them back.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "acl/dacl_change.h"
#include "acl/dacl_lock.h"
#include "acl/placement.h"
#include "run_journal/ledger.h"
#include "win/api.h"

namespace tavo {

// A ledger as one run (or one registration of one SID) sees it. A ledger problem never fails a
// run or a registration: it is warned about once and the rest goes on without recording (as a
// run goes on without a journal).
class RunPlacements {
 public:
  // `sid` is borrowed: the run owns it and outlives this. The user's ledger.
  explicit RunPlacements(PSID sid);
  // The ledger in `folder` (the administrators', for a registration).
  RunPlacements(PSID sid, LedgerFolder folder);

  // Records an entry of `kind` at `level` about to be placed. Called under the DACL edit lock.
  void note(EntryKind kind, std::string_view level, const Placement& placement);

  // The run took its grants back (its command never ran): the records of grants it added go.
  void forget_added_grants(DaclEditLock& lock);

 private:
  std::string sid_;
  std::optional<Ledger> ledger_;
  std::vector<LedgerEntry> added_;  // records this run added, not found in the ledger before
};

// Announces the entries of one kind and level to a run's placements.
class PlacementNote final : public PlacementNotice {
 public:
  PlacementNote(RunPlacements& placements, EntryKind kind, std::string level)
      : placements_(placements), kind_(kind), level_(std::move(level)) {}
  void before_placing(const Placement& placement) override {
    placements_.note(kind_, level_, placement);
  }

 private:
  RunPlacements& placements_;
  EntryKind kind_;
  std::string level_;
};

// A recorder for edits that are not taken back (a registration's): each is recorded in the ledger
// as an entry of `kind` at `level` before its write, and that is all.
class LastingNote final : public ChangeRecorder {
 public:
  LastingNote(RunPlacements& placements, EntryKind kind, std::string level)
      : note_(placements, kind, std::move(level)) {}
  void before_write(DaclChange change) override {
    note_.before_placing(Placement{change.path, change.object, change.identity});
  }
  void write_failed() override {}
  void written(DaclObject) override {}
  // Nothing placed: a deny standing already is in a ledger when this program placed it.
  void deny_stands(DaclChange, DaclObject) override {}

 private:
  PlacementNote note_;
};

// Stands before a run's undo record for its grants: each grant is recorded in the ledger before
// the undo record hears of it (and before the write that follows).
class GrantNote final : public ChangeRecorder {
 public:
  GrantNote(ChangeRecorder& next, RunPlacements& placements, std::string level)
      : next_(next), note_(placements, EntryKind::Grant, std::move(level)) {}

  void before_write(DaclChange change) override;
  void write_failed() override { next_.write_failed(); }
  void written(DaclObject object) override { next_.written(std::move(object)); }
  void deny_stands(DaclChange change, DaclObject object) override {
    next_.deny_stands(std::move(change), std::move(object));
  }

 private:
  ChangeRecorder& next_;
  PlacementNote note_;
};

}  // namespace tavo

// What a run changed on the file system, kept so that it can be taken back exactly.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "acl/dacl_change.h"
#include "acl/dacl_lock.h"
#include "acl/dacl_object.h"
#include "acl/deny_hold.h"
#include "run_journal/run_journal.h"
#include "win/api.h"

namespace tavo {

// Records each grant and deny of a run just before its write, in memory and in the run's
// journal. Whatever it still holds when it goes is undone, last change first, so every way out
// of a run takes its changes back without a call at each exit; a run whose command ran keeps its
// grants by saying so.
//
// Each change is undone through the handle its edit held, kept open until then: the command may
// rename what it was given and put a link in its place, and an undo by name would then land on
// the link's target. A grant's handle closes when the command starts (the grant is kept from
// then on, unless the launch fails before the command runs; then it is found by its identity).
//
// Runs of one SID may overlap, whichever users run them: each run holds every deny it needs (see
// DenyHold) until it ends. A run takes back only a deny entry it placed, or one it found placed
// by a run that held it then (it joined that hold), and only when no other live process holds it
// any more: the last of them to end takes the entry away. A deny entry found with no holder (a
// registration's, or one that stood before) is held while the run needs it and never taken back
// by it.
class UndoLog final : public ChangeRecorder {
 public:
  // `sid` and `lock` are borrowed: the run owns them and they outlive the log. Its edits are made
  // under `lock`, and so is the undo. `journal_dir_checked`: see RunJournal.
  UndoLog(PSID sid, DaclEditLock& lock, bool journal_dir_checked = false);
  ~UndoLog() { undo_all(); }
  UndoLog(const UndoLog&) = delete;
  UndoLog& operator=(const UndoLog&) = delete;

  void before_write(DaclChange change) override;
  void write_failed() override;
  void written(DaclObject object) override;
  void deny_stands(DaclChange change, DaclObject object) override;

  // Said just before the command starts: from then on a kill keeps the grants, and their objects
  // are no longer held.
  void command_starting();

  // Just before the command starts: every deny of the run is read again through the object it
  // holds, and a deny entry someone removed meanwhile is put back (this run then takes it back
  // as one it placed). Failures are warned about; the command starts all the same.
  void put_back_removed_denies();

  // The grants stay for later runs: they are no longer undone.
  void keep_grants();

  // Undoes every change held, last first, then removes the journal. A change that cannot be
  // undone is warned about and the next one is tried.
  void undo_all();

 private:
  struct Held {
    DaclChange change;
    std::optional<DaclObject> object;  // what the edit wrote through, while it is held
    DenyHold hold;                     // for a deny entry: this run's hold on it
    bool takes_back = true;            // false for a deny entry found with no holder
  };

  PSID sid_;
  DaclEditLock& lock_;
  std::string sid_text_;
  RunJournal journal_;
  std::vector<Held> changes_;
};

// Takes one recorded change of a run of `sid` back, unless it is a deny that another live process
// still holds (a deny entry: any process of any user, see deny_holders; this run's own hold must
// be given up first; an earlier version's deny: a live run of the same SID whose journal says
// so): through `object` when the edit's object is still held, else on the object
// reach_changed_object finds, and on nothing when none is found. Called under the DACL edit lock.
// False when the undo failed or was left alone (warned about) or was left to the other run.
// Its caller holds the DACL edit lock (`held`).
bool undo_change(PSID sid, const DaclChange& change, const DaclObject* object,
                 const OtherRuns& others, std::string_view sid_text,
                 const DaclEditLock::Held& held);

}  // namespace tavo

// What a run changed on the file system, kept so that it can be taken back exactly.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "acl/dacl_change.h"
#include "acl/dacl_lock.h"
#include "acl/dacl_object.h"
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
// Runs of one SID may overlap: a deny of an object that a live run of the same SID has denied
// too records what stood before that run's deny, and a deny is not taken back while another live
// run of the SID still holds one on the object. So the last of them to end restores the object
// as it was before the first.
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

  // Said just before the command starts: from then on a kill keeps the grants, and their objects
  // are no longer held.
  void command_starting();

  // The grants stay for later runs: they are no longer undone.
  void keep_grants();

  // Undoes every change held, last first, then removes the journal. A change that cannot be
  // undone is warned about and the next one is tried.
  void undo_all();

 private:
  struct Held {
    DaclChange change;
    std::optional<DaclObject> object;  // what the edit wrote through, while it is held
  };

  PSID sid_;
  DaclEditLock& lock_;
  std::string sid_text_;
  RunJournal journal_;
  std::vector<Held> changes_;
};

// Takes one recorded change of a run of `sid` back, unless it is a deny that a live run of the
// same SID still holds on that object (see UndoLog): through `object` when the edit's object is
// still held, else on the object reach_changed_object finds, and on nothing when none is found.
// False when the undo failed or was left alone (warned about) or was left to the other run.
// Its caller holds the DACL edit lock (`held`).
bool undo_change(PSID sid, const DaclChange& change, const DaclObject* object, OtherRuns& others,
                 std::string_view sid_text, const DaclEditLock::Held& held);

}  // namespace tavo

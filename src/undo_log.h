// What a run changed on the file system, kept so that it can be taken back exactly.
#pragma once

#include <vector>

#include "dacl_change.h"
#include "win/api.h"

namespace tavo {

// Records each grant and deny of a run just before its write. Whatever it still holds when it
// goes is undone, last change first, so every way out of a run takes its changes back without a
// call at each exit; a run whose command ran keeps its grants by saying so.
class UndoLog final : public ChangeRecorder {
 public:
  explicit UndoLog(PSID sid) : sid_(sid) {}
  ~UndoLog() { undo_all(); }
  UndoLog(const UndoLog&) = delete;
  UndoLog& operator=(const UndoLog&) = delete;

  void before_write(DaclChange change) override { changes_.push_back(std::move(change)); }
  void write_failed() override { changes_.pop_back(); }

  // The grants stay for later runs: they are no longer undone.
  void keep_grants();

  // Undoes every change held, last first. A change that cannot be undone is warned about and the
  // next one is tried.
  void undo_all();

 private:
  PSID sid_;  // borrowed; the run owns it and outlives the log
  std::vector<DaclChange> changes_;
};

}  // namespace tavo

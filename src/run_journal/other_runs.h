// The journals of other runs, read once under the DACL edit lock, each with whether its run may
// still be running: what the undo looks up (which records still stand for a live run) and what
// recovery finishes (the runs that are gone), from one snapshot that neither changes.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "run_journal/journal_store.h"

namespace tavo {

// Another run's journal as read, beside whether its run may still be running, decided once when
// the journal was read (see may_be_running). A journal that names no run cannot be told dead: it
// counts as live and is left alone.
struct OtherRun {
  StoredJournal journal;
  bool live = true;
};

class OtherRuns {
 public:
  // None: for a run without a journal directory.
  OtherRuns() = default;
  // Reads every journal in `dir` but this process's own (the one at `own_path`, and any named
  // after this process) and tells each run live or gone, now.
  explicit OtherRuns(std::string_view dir, std::string_view own_path = {});

  const std::vector<OtherRun>& runs() const { return runs_; }

  // The first deny record of an earlier version (a protecting deny) that a live run of `sid`
  // holds on the object of `change` (one object by identity, see same_object): while that run
  // runs, the deny must not be taken back.
  const DaclChange* live_deny(std::string_view sid, const DaclChange& change) const;

  // Whether a gone run of `sid` (one whose journal is not recovered yet) placed the deny entry of
  // `change` on its object. Such an entry is no standing deny: the run that finds it takes it
  // over, as that run's recovery would have taken it back.
  bool deny_entry_of_gone_run(std::string_view sid, const DaclChange& change) const;

  // Copies of the journals of the gone runs, in the order read: recovery finishes each and may
  // find one it cannot use after all, which it marks on its copy; the snapshot stays as read.
  std::vector<StoredJournal> gone_journals() const;

 private:
  std::vector<OtherRun> runs_;
};

}  // namespace tavo

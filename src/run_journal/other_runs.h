// The journals of other runs, read at one moment under the DACL edit lock: which of their
// records still stand for a live run, and which runs are gone.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "run_journal/journal_store.h"

namespace tavo {

class OtherRuns {
 public:
  // None: for a run without a journal directory.
  OtherRuns() = default;
  // Reads every journal in `dir` but this process's own: the one at `own_path`, and any named
  // after this process.
  explicit OtherRuns(std::string_view dir, std::string_view own_path = {});

  // The first deny record of an earlier version (a protecting deny) that a live run of `sid`
  // holds on the object of `change` (one object by identity, see same_object): while that run
  // runs, the deny must not be taken back.
  const DaclChange* live_deny(std::string_view sid, const DaclChange& change);

  // Whether a gone run of `sid` (one whose journal is not recovered yet) placed the deny entry of
  // `change` on its object. Such an entry is no standing deny: the run that finds it takes it
  // over, as that run's recovery would have taken it back.
  bool deny_entry_of_gone_run(std::string_view sid, const DaclChange& change);

  std::vector<StoredJournal>& journals() { return journals_; }
  // Whether the journal's run may still be running (looked up once per journal).
  bool is_live(const StoredJournal& journal);

 private:
  std::vector<StoredJournal> journals_;
  std::vector<std::optional<bool>> live_;
};

}  // namespace tavo

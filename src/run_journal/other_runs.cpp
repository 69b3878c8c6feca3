#include "run_journal/other_runs.h"

#include "run_journal/process_identity.h"

namespace tavo {

OtherRuns::OtherRuns(std::string_view dir, std::string_view own_path) {
  // This process's journal, and what an earlier run in this process may have left under the same
  // name, are no other run's; the own one is not even read.
  std::vector<std::string> paths = journal_paths(dir);
  std::erase(paths, own_path);
  if (paths.empty()) return;
  const std::optional<ProcessIdentity> self = current_process();
  for (StoredJournal& journal : read_journals(paths)) {
    if (self && journal.owner == self) continue;
    const bool live = !journal.owner || may_be_running(*journal.owner);
    runs_.push_back(OtherRun{std::move(journal), live});
  }
}

const DaclChange* OtherRuns::live_deny(std::string_view sid, const DaclChange& mine) const {
  for (const OtherRun& run : runs_) {
    const auto& contents = run.journal.contents;
    if (!run.live || !contents || contents->sid != sid) continue;
    for (const DaclChange& change : contents->changes) {
      if (change.kind == ChangeKind::Deny && same_object(change, mine)) return &change;
    }
  }
  return nullptr;
}

bool OtherRuns::deny_entry_of_gone_run(std::string_view sid, const DaclChange& mine) const {
  for (const OtherRun& run : runs_) {
    const auto& contents = run.journal.contents;
    if (run.live || !contents || contents->sid != sid) continue;
    for (const DaclChange& change : contents->changes) {
      if (change.kind == ChangeKind::DenyEntry && same_object(change, mine) &&
          change.entries == mine.entries) {
        return true;
      }
    }
  }
  return false;
}

std::vector<StoredJournal> OtherRuns::gone_journals() const {
  std::vector<StoredJournal> gone;
  for (const OtherRun& run : runs_) {
    if (!run.live) gone.push_back(run.journal);
  }
  return gone;
}

}  // namespace tavo

#include "run_journal/other_runs.h"

#include "run_journal/process_identity.h"

namespace tavo {

OtherRuns::OtherRuns(std::string_view dir, std::string_view own_path) {
  // This process's journal, and what an earlier run in this process may have left under the same
  // name, are no other run's; the own one is not even read.
  std::vector<std::string> paths = journal_paths(dir);
  std::erase(paths, own_path);
  if (paths.empty()) return;
  journals_ = read_journals(paths);
  const std::optional<ProcessIdentity> self = current_process();
  std::erase_if(journals_,
                [&](const StoredJournal& journal) { return self && journal.owner == self; });
  live_.resize(journals_.size());
}

bool OtherRuns::is_live(const StoredJournal& journal) {
  std::optional<bool>& live = live_[static_cast<std::size_t>(&journal - journals_.data())];
  // A journal that names no run cannot be told dead: it is left alone.
  if (!live) live = !journal.owner || may_be_running(*journal.owner);
  return *live;
}

const DaclChange* OtherRuns::live_deny(std::string_view sid, const DaclChange& mine) {
  for (const StoredJournal& journal : journals_) {
    if (!journal.contents || journal.contents->sid != sid) continue;
    for (const DaclChange& change : journal.contents->changes) {
      if (change.kind != ChangeKind::Deny || !same_object(change, mine)) continue;
      if (is_live(journal)) return &change;
      break;
    }
  }
  return nullptr;
}

bool OtherRuns::deny_entry_of_gone_run(std::string_view sid, const DaclChange& mine) {
  for (const StoredJournal& journal : journals_) {
    if (!journal.contents || journal.contents->sid != sid || is_live(journal)) continue;
    for (const DaclChange& change : journal.contents->changes) {
      if (change.kind == ChangeKind::DenyEntry && same_object(change, mine) &&
          change.entries == mine.entries) {
        return true;
      }
    }
  }
  return false;
}

}  // namespace tavo

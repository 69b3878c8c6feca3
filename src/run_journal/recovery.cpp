#include "run_journal/recovery.h"

#include <utility>

#include "acl/acl.h"
#include "run_journal/journal_folder.h"
#include "run_journal/journal_store.h"
#include "run_journal/other_runs.h"
#include "run_journal/undo_log.h"
#include "runtime/log.h"
#include "sid/sandbox_sid.h"
#include "win/fs.h"
#include "win/wide.h"

namespace tavo {
namespace {

void set_aside(const StoredJournal& journal) {
  const std::string aside = set_aside_name(journal.path);
  if (!MoveFileExW(to_wide_nul(journal.path).c_str(), to_wide_nul(aside).c_str(),
                   MOVEFILE_WRITE_THROUGH)) {
    log(Level::Warn, kTargetMain, "unreadable run journal {} ({}) could not be set aside: {}",
        journal.path, journal.contents.error(), IoError::from_last_error());
    return;
  }
  log(Level::Warn, kTargetMain, "unreadable run journal {} ({}) set aside as {}", journal.path,
      journal.contents.error(), aside);
}

// Undoes one dead run's changes, last first, as its own rollback would have. False when the
// journal's SID is not one.
bool recover(DWORD pid, const JournalContents& run, const OtherRuns& others,
             const DaclEditLock::Held& held) {
  std::size_t undone = 0;
  // A run that died before announcing a change left only its journal.
  if (!run.changes.empty()) {
    unique_local<void> raw;
    if (!ConvertStringSidToSidW(to_wide_nul(run.sid).c_str(), raw.put())) return false;
    const SandboxSid sid(std::move(raw));
    for (auto change = run.changes.rbegin(); change != run.changes.rend(); ++change) {
      if (change->kind == ChangeKind::Grant && run.command_started) continue;
      // The run's handles went with it: each object is found by its identity.
      if (undo_change(sid.get(), *change, nullptr, others, run.sid, held)) ++undone;
    }
  }
  log(Level::Info, kTargetMain, "recovered interrupted run {}: {} change(s) undone", pid, undone);
  return true;
}

}  // namespace

bool recover_interrupted_runs(DaclEditLock& lock) {
  const std::optional<std::string> dir = journal_dir();
  if (!dir) return false;
  // Nothing is read from a folder the sandbox could have written.
  if (auto ready = make_private_journal_dir(*dir); !ready) {
    log(Level::Warn, kTargetMain, "run journal folder: {}; killed runs are not recovered",
        ready.error());
    return false;
  }
  // The common case, no journal at all, costs one listing and no lock.
  if (journal_paths(*dir).empty()) return true;
  // What cannot be trusted or read goes aside before the lock, so that it holds up no one's
  // edits; what stays is read again under the lock, where the other runs' records must be read.
  {
    const OtherRuns first(*dir);
    for (const OtherRun& run : first.runs()) {
      if (!run.journal.contents && !run.live) set_aside(run.journal);
    }
  }
  const DaclEditLock::Held held = lock.hold();
  // One snapshot for the whole recovery: the undo looks up the live runs' records in it, and the
  // gone runs' journals are taken out of it, so that what recovery finds wrong with one is marked
  // on its own copy.
  const OtherRuns runs(*dir);
  for (StoredJournal& journal : runs.gone_journals()) {
    if (journal.contents && !recover(journal.owner->pid, *journal.contents, runs, held)) {
      journal.contents = std::unexpected("its SID " + journal.contents->sid + " is not one");
    }
    if (!journal.contents) {
      set_aside(journal);
      continue;
    }
    if (auto removed = fs::remove_file(journal.path); !removed) {
      log(Level::Warn, kTargetMain, "run journal {} could not be removed: {}", journal.path,
          removed.error());
    }
  }
  return true;
}

}  // namespace tavo

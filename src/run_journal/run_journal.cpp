#include "run_journal/run_journal.h"

#include "base/format.h"
#include "run_journal/journal_folder.h"
#include "run_journal/journal_store.h"
#include "run_journal/journal_text.h"
#include "run_journal/process_identity.h"
#include "runtime/log.h"
#include "win/fs.h"
#include "win/path.h"
#include "win/wide.h"

namespace tavo {

RunJournal::RunJournal(std::string sid, std::optional<std::string> dir, bool dir_checked)
    : sid_(std::move(sid)), dir_(std::move(dir)), dir_checked_(dir_checked) {}

void RunJournal::record(const DaclChange& change) {
  append(change_line(change), Durability::OnDisk);
}

void RunJournal::drop_last() {
  if (file_) append(kDroppedLine, Durability::Written);
}

void RunJournal::command_starting() {
  // Lost with the machine's power, the mark only makes the recovery take the grants back too.
  if (file_) append(kStartedLine, Durability::Written);
}

void RunJournal::remove() {
  if (path_.empty()) return;
  file_.reset();
  if (auto removed = fs::remove_file(path_); !removed) {
    log(Level::Warn, kTargetMain, "run journal {} could not be removed: {}", path_,
        removed.error());
  }
  path_.clear();
  off_ = true;  // one journal per run
}

OtherRuns RunJournal::other_runs() const {
  return dir_ ? OtherRuns(*dir_, path_) : OtherRuns();
}

void RunJournal::give_up(std::string_view step, std::string_view error) {
  log(Level::Warn, kTargetMain, "run journal {}: {} failed, going on without it: {}",
      path_.empty() ? dir_.value_or("(no directory)") : path_, step, error);
  file_.reset();
  off_ = true;
}

bool RunJournal::open() {
  if (sid_.empty()) {
    give_up("naming the SID", "its string form is unknown");
    return false;
  }
  if (!dir_) {
    give_up("finding its directory", "LOCALAPPDATA is not set");
    return false;
  }
  std::optional<ProcessIdentity> self = current_process();
  if (!self) {
    give_up("finding this process's creation time", HresultError::from_last_error().display());
    return false;
  }
  // The folder must be the user's alone. Checked once per run: nothing the run does before its
  // command starts can change that, and the journal is made before the command starts.
  if (auto ready =
          dir_checked_ ? std::expected<void, std::string>() : make_private_journal_dir(*dir_);
      !ready) {
    give_up("preparing its folder", ready.error());
    return false;
  }
  path_ = path::join(*dir_, journal_file_name(*self));
  // Others may read it while it grows, and nobody but this process writes it: the name is this
  // process's, so a file by that name can only be one an earlier run of it failed to remove.
  file_.reset(CreateFileW(to_wide_nul(path_).c_str(), GENERIC_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file_) {
    const std::string error = IoError::from_last_error().display();
    path_.clear();
    give_up("creating it", error);
    return false;
  }
  append(journal_preamble(*self, sid_), Durability::Written);
  return !off_;
}

void RunJournal::append(std::string_view line, Durability durability) {
  if (off_) return;
  if (!file_ && !open()) return;
  // Recovery sets a larger journal aside unread: past the limit it would be no journal at all.
  if (written_ + line.size() > kMaxJournalBytes) {
    give_up("writing", format("it would pass {} bytes", kMaxJournalBytes));
    return;
  }
  written_ += line.size();
  if (auto written = fs::write_all(file_.get(), line); !written) {
    give_up("writing", written.error().display());
    return;
  }
  if (durability == Durability::OnDisk && !FlushFileBuffers(file_.get())) {
    give_up("flushing", IoError::from_last_error().display());
  }
}

}  // namespace tavo

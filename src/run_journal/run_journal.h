// This run's own journal: each change is written down, and on disk, before it is made.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "acl/dacl_change.h"
#include "run_journal/other_runs.h"
#include "win/unique.h"

namespace tavo {

// The journal is made on the first change, so a run that changes nothing writes nothing. A
// journal that cannot be written never fails the run: one warning, and the run goes on without
// it (a kill would then leave what it changed, as it would without journals at all).
class RunJournal {
 public:
  // `sid` is the run's SID in string form. Without a directory, or without this process's
  // identity, the journal is off from the start. `dir_checked`: this run has just found or made
  // the directory private (see make_private_journal_dir), so it is not checked again.
  RunJournal(std::string sid, std::optional<std::string> dir, bool dir_checked = false);
  RunJournal(const RunJournal&) = delete;
  RunJournal& operator=(const RunJournal&) = delete;

  // Returns once the change's line is on disk (or the journal is off): the change may be made.
  void record(const DaclChange& change);
  // The change announced last was not made after all.
  void drop_last();
  // The command is about to start: from here on a kill keeps the grants.
  void command_starting();

  // Removes the journal: everything it announced has been taken back or kept.
  void remove();

  // The journals of the other runs in this journal's directory, read now; none without one.
  OtherRuns other_runs() const;

 private:
  // A change's line must be on disk before the change; the other lines only written, as losing
  // them costs nothing but caution.
  enum class Durability { Written, OnDisk };
  void append(std::string_view line, Durability durability);
  bool open();
  void give_up(std::string_view step, std::string_view error);

  std::string sid_;
  std::optional<std::string> dir_;
  bool dir_checked_;
  std::string path_;
  unique_handle file_;
  std::size_t written_ = 0;  // bytes handed to the file so far
  bool off_ = false;
};

}  // namespace tavo

// The folder the run journals live in belongs to the user: nothing the sandbox can write may
// decide what a later run takes back.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "win/api.h"
#include "win/error.h"
#include "win/unique.h"

namespace tavo {

// Creates the journal folder `dir` and its parent (%LOCALAPPDATA%\Tavo\runs and
// %LOCALAPPDATA%\Tavo), each missing one with a protected DACL of its own (the user, SYSTEM and
// Administrators full control, nothing inherited), and checks each existing one on a handle
// that does not follow a final link: not a link, owned by the user, SYSTEM or Administrators,
// and no entry that lets anyone else change it or what it holds. A folder that fails is never
// read: it is renamed aside ("<name>.untrusted-<time>") with a warning naming it and the reason,
// and a fresh private one takes its place. The error says why the folder cannot be used at all.
std::expected<void, std::string> make_private_journal_dir(std::string_view dir);

// Judges journal files as the folder is judged. One judge serves a whole listing, so that the
// process's user is asked once, at the first file, not once per journal.
class JournalJudge {
 public:
  // Why a journal file held open through open_to_judge (its final link not followed) must not
  // be read; nothing when it may be.
  std::optional<std::string> distrust(HANDLE file);

 private:
  std::optional<std::expected<std::string, std::string>> user_;
};

}  // namespace tavo

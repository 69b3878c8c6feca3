// Where this user's run journals live, and reading them all back.
#pragma once

#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "run_journal/journal_text.h"
#include "win/error.h"

namespace tavo {

// The most a journal may hold: well above what the longest command line can make a run write.
// A larger file is set aside unread, and a run whose journal would grow past it is refused.
inline constexpr std::size_t kMaxJournalBytes = std::size_t{4} << 20;

// %LOCALAPPDATA%\Tavo\runs; nothing when LOCALAPPDATA is unset or empty.
std::optional<std::string> journal_dir();

// A journal's file name: its owner's id and creation time, so no two runs share one.
std::string journal_file_name(const ProcessIdentity& owner);

// The owner a journal's file name gives, or nothing for a name of another form.
std::optional<ProcessIdentity> owner_from_name(std::string_view path);

// What an unreadable journal is renamed to: kept for a person to look at, never read again.
std::string set_aside_name(std::string_view path);

struct StoredJournal {
  std::string path;
  // The run it belongs to: from its name, else from its text.
  std::optional<ProcessIdentity> owner;
  std::expected<JournalContents, std::string> contents;
};

// The paths of the journals in `dir` (files ending in ".journal"). A directory that does not
// exist holds none.
std::vector<std::string> journal_paths(std::string_view dir);

// Reads each of them through a handle that does not follow a final link, once it is judged as
// the journal folder is (see journal_folder.h) and found to be a regular file of at most
// kMaxJournalBytes. A file that fails, cannot be read or parsed, or names a SID that is not an
// AppContainer's carries the reason.
std::vector<StoredJournal> read_journals(const std::vector<std::string>& paths);

}  // namespace tavo

// Where this user's run journals live, and reading them all back.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "run_journal/journal_text.h"
#include "win/error.h"

namespace tavo {

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

// Reads each of them; a file that cannot be read or parsed carries the reason.
std::vector<StoredJournal> read_journals(const std::vector<std::string>& paths);

}  // namespace tavo

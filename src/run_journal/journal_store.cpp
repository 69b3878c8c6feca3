#include "run_journal/journal_store.h"

#include <charconv>

#include "base/format.h"
#include "win/env.h"
#include "win/fs.h"
#include "win/path.h"

namespace tavo {
namespace {

constexpr std::string_view kJournalSuffix = ".journal";

}  // namespace

std::optional<std::string> journal_dir() {
  std::optional<std::string> base = env_directory("LOCALAPPDATA");
  if (!base) return std::nullopt;
  return path::join(path::join(*base, "Tavo"), "runs");
}

std::string journal_file_name(const ProcessIdentity& owner) {
  return format("{}-{}{}", owner.pid, owner.created, kJournalSuffix);
}

std::optional<ProcessIdentity> owner_from_name(std::string_view path) {
  std::string_view name = path.substr(path.find_last_of("\\/") + 1);
  if (!name.ends_with(kJournalSuffix)) return std::nullopt;
  name.remove_suffix(kJournalSuffix.size());
  ProcessIdentity owner;
  const char* end = name.data() + name.size();
  auto pid = std::from_chars(name.data(), end, owner.pid);
  if (pid.ec != std::errc{} || pid.ptr == end || *pid.ptr != '-') return std::nullopt;
  auto created = std::from_chars(pid.ptr + 1, end, owner.created);
  if (created.ec != std::errc{} || created.ptr != end) return std::nullopt;
  return owner;
}

std::string set_aside_name(std::string_view path) {
  return std::string(path) + ".unreadable";
}

std::vector<std::string> journal_paths(std::string_view dir) {
  std::vector<std::string> paths;
  auto names = fs::list_dir(dir);
  if (!names) return paths;
  for (const std::string& name : *names) {
    if (!name.ends_with(kJournalSuffix)) continue;
    paths.push_back(path::join(dir, name));
  }
  return paths;
}

std::vector<StoredJournal> read_journals(const std::vector<std::string>& paths) {
  std::vector<StoredJournal> journals;
  for (const std::string& path : paths) {
    auto text = fs::read_text_file(path);
    // Gone since the listing: its run ended, or another recovery took it.
    if (!text && text.error().os_error() == ERROR_FILE_NOT_FOUND) continue;
    StoredJournal journal{path, owner_from_name(path), std::unexpected(std::string())};
    if (text) {
      journal.contents = parse_journal(*text);
    } else {
      journal.contents = std::unexpected(text.error().display());
    }
    if (!journal.owner && journal.contents) journal.owner = journal.contents->owner;
    if (journal.contents && journal.contents->owner && journal.owner != journal.contents->owner) {
      journal.contents = std::unexpected("its name and its text name different runs");
    }
    journals.push_back(std::move(journal));
  }
  return journals;
}

}  // namespace tavo

#include "run_journal/journal_store.h"

#include <charconv>

#include "acl/path_blocklist.h"
#include "base/format.h"
#include "run_journal/journal_folder.h"
#include "sid/sid_text.h"
#include "win/env.h"
#include "win/fs.h"
#include "win/path.h"
#include "win/small_file.h"
#include "win/unique.h"
#include "win/wide.h"

namespace tavo {
namespace {

constexpr std::string_view kJournalSuffix = ".journal";

// Whether a journal's SID text names an AppContainer package SID: a journal for any other SID
// would have recovery write entries for Everyone, a user or all application packages.
bool is_package_sid_text(const std::string& text) {
  unique_local<void> sid;
  if (!ConvertStringSidToSidW(to_wide_nul(text).c_str(), sid.put())) return false;
  return is_package_sid(sid.get());
}

}  // namespace

std::optional<std::string> journal_dir() {
  std::optional<std::string> own = own_files_dir();
  if (!own) return std::nullopt;
  return path::join(*own, "runs");
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
  JournalJudge judge;
  for (const std::string& path : paths) {
    // Read through one handle: judged, then read.
    auto file = fs::open_own_file(path);
    // Gone since the listing: its run ended, or another recovery took it.
    if (!file && file.error().os_error() == ERROR_FILE_NOT_FOUND) continue;
    StoredJournal journal{path, owner_from_name(path), std::unexpected(std::string())};
    if (!file) {
      journal.contents = std::unexpected(file.error().display());
    } else if (std::optional<std::string> distrust = judge.distrust(file->get())) {
      journal.contents = std::unexpected(std::move(*distrust));
    } else if (auto text = fs::read_small_text_from(file->get(), kMaxJournalBytes); !text) {
      journal.contents = std::unexpected(fs::own_file_failure(text.error(), kMaxJournalBytes));
    } else {
      journal.contents = parse_journal(*text);
    }
    // Only a journal that names changes has its SID used; one cut short before its first lines
    // has none to name.
    if (journal.contents && !journal.contents->changes.empty() &&
        !is_package_sid_text(journal.contents->sid)) {
      journal.contents =
          std::unexpected(format("its SID {} is not an AppContainer SID", journal.contents->sid));
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

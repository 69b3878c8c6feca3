#include "run_journal/ledger.h"

#include <algorithm>
#include <memory>

#include "acl/path_blocklist.h"
#include "base/format.h"
#include "run_journal/journal_folder.h"
#include "runtime/log.h"
#include "win/error.h"
#include "win/fs.h"
#include "win/path.h"
#include "win/small_file.h"
#include "win/unique.h"
#include "win/wide.h"

namespace tavo {
namespace {

bool same_record(const LedgerEntry& a, const LedgerEntry& b) {
  return a.same_place(b) && a.level == b.level && a.options == b.options && a.object == b.object;
}

}  // namespace

std::optional<LedgerFolder> user_ledger_folder() {
  std::optional<std::string> own = own_files_dir();
  if (!own) return std::nullopt;
  std::string dir = path::join(*own, "ledger");
  LedgerFolder folder;
  // Made or checked once for whoever holds this folder (a run): not again before every record.
  auto ready = std::make_shared<bool>(false);
  folder.prepare = [dir, ready]() -> std::expected<void, std::string> {
    if (*ready) return {};
    if (auto made = make_private_journal_dir(dir); !made) return made;
    *ready = true;
    return {};
  };
  // One judge for the folder's whole life: the user is asked once.
  folder.distrust = [judge = std::make_shared<JournalJudge>()](HANDLE file) {
    return judge->distrust(file);
  };
  folder.replace = [dir](std::string_view name, std::string_view text) {
    return replace_by_rename(path::join(dir, name), text);
  };
  folder.dir = std::move(dir);
  return folder;
}

std::expected<void, std::string> replace_by_rename(std::string_view path, std::string_view text) {
  // Named after this process: no other writer uses it, and one its earlier namesake left is
  // overwritten.
  const std::string fresh = format("{}.{}.new", path, GetCurrentProcessId());
  {
    unique_handle file(CreateFileW(to_wide_nul(fresh).c_str(), GENERIC_WRITE, 0, nullptr,
                                   CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return std::unexpected(format("creating {}: {}", fresh, IoError::from_last_error()));
    auto written = fs::write_all(file.get(), text);
    if (written && !FlushFileBuffers(file.get())) {
      written = std::unexpected(IoError::from_last_error());
    }
    if (!written) {
      file.reset();
      fs::discard_partial_file(fresh);
      return std::unexpected(format("writing {}: {}", fresh, written.error()));
    }
  }
  if (!MoveFileExW(to_wide_nul(fresh).c_str(), to_wide_nul(path).c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    const IoError error = IoError::from_last_error();
    fs::discard_partial_file(fresh);
    return std::unexpected(format("renaming {} over {}: {}", fresh, path, error));
  }
  return {};
}

Ledger::Ledger(LedgerFolder folder)
    : folder_(std::move(folder)), path_(path::join(folder_.dir, kLedgerFileName)) {}

std::expected<std::vector<LedgerEntry>, std::string> Ledger::read() const {
  auto file = fs::open_own_file(path_);
  if (!file) {
    const auto error = file.error().os_error();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
      return std::vector<LedgerEntry>{};
    }
    return std::unexpected(file.error().display());
  }
  if (std::optional<std::string> distrust = folder_.distrust(file->get())) {
    return std::unexpected(std::move(*distrust));
  }
  auto text = fs::read_small_text_from(file->get(), kMaxLedgerBytes);
  if (!text) return std::unexpected(fs::own_file_failure(text.error(), kMaxLedgerBytes));
  return parse_ledger(*text);
}

std::expected<bool, std::string> Ledger::note(const LedgerEntry& entry) {
  auto entries = read();
  if (!entries) {
    // Never deleted unread, and never in the way of the entries still to come: kept aside for a
    // person to look at, as an unreadable journal is.
    const std::string aside = path_ + ".unreadable";
    if (!MoveFileExW(to_wide_nul(path_).c_str(), to_wide_nul(aside).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return std::unexpected(entries.error());
    }
    log(Level::Warn, kTargetMain, "unreadable ledger {} ({}) set aside as {}", path_,
        entries.error(), aside);
    entries = std::vector<LedgerEntry>{};
  }
  auto at = std::find_if(entries->begin(), entries->end(),
                         [&](const LedgerEntry& known) { return known.same_place(entry); });
  const bool added = at == entries->end();
  if (!added && same_record(*at, entry)) return false;
  // Kept in the order entries were placed: a replaced record moves to the end, as placed last.
  if (!added) entries->erase(at);
  entries->push_back(entry);
  if (auto written = write(*entries); !written) return std::unexpected(written.error());
  return added;
}

std::expected<void, std::string> Ledger::forget(const LedgerEntry& entry) {
  auto entries = read();
  if (!entries) return std::unexpected(entries.error());
  const auto removed =
      std::erase_if(*entries, [&](const LedgerEntry& known) { return known.same_place(entry); });
  if (removed == 0) return {};
  return write(*entries);
}

std::expected<void, std::string> Ledger::write(const std::vector<LedgerEntry>& entries) {
  const std::string text = ledger_text(entries);
  if (text.size() > kMaxLedgerBytes) {
    return std::unexpected(format("it would pass {} bytes", kMaxLedgerBytes));
  }
  if (auto ready = folder_.prepare(); !ready) return std::unexpected(ready.error());
  return folder_.replace(kLedgerFileName, text);
}

}  // namespace tavo

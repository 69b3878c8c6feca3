#include "run_journal/ledger.h"

#include <algorithm>
#include <memory>

#include "acl/object_control.h"
#include "acl/path_blocklist.h"
#include "base/format.h"
#include "run_journal/journal_folder.h"
#include "runtime/log.h"
#include "sid/current_user.h"
#include "win/error.h"
#include "win/file_replace.h"
#include "win/fs.h"
#include "win/held_folder.h"
#include "win/path.h"
#include "win/security_descriptor.h"
#include "win/small_file.h"
#include "win/unique.h"
#include "win/wide.h"

namespace tavo {
namespace {

bool same_record(const LedgerEntry& a, const LedgerEntry& b) {
  return a.same_place(b) && a.level == b.level && a.options == b.options && a.object == b.object;
}

// The user's ledger folder once made or checked: held, and the security its files are born with.
struct HeldLedgerFolder {
  HeldFolder folder;
  SddlDescriptor security;
};

std::expected<HeldLedgerFolder, std::string> hold_user_ledger_folder(const std::string& dir,
                                                                     JournalJudge& judge) {
  if (auto made = make_private_journal_dir(dir); !made) return std::unexpected(made.error());
  auto opened = HeldFolder::open(dir);
  if (!opened) return std::unexpected(format("folder {} {}", dir, opened.error()));
  // Judged again on the handle that is held: the folder checked by name may have been swapped
  // since.
  if (std::optional<std::string> distrust = judge.distrust(opened->get())) {
    return std::unexpected(format("folder {}: {}", dir, *distrust));
  }
  auto user = current_user_sid();
  if (!user) return std::unexpected(user.error().display());
  // The folder's own entries, not inherited: a file born with a descriptor inherits nothing.
  auto security = SddlDescriptor::parse(
      format("D:P(A;;FA;;;{})(A;;FA;;;{})(A;;FA;;;{})", *user, kSystemSid, kAdministratorsSid));
  if (!security) return std::unexpected(security.error().display());
  return HeldLedgerFolder{std::move(*opened), std::move(*security)};
}

}  // namespace

std::uint64_t placed_now() {
  FILETIME time{};
  GetSystemTimeAsFileTime(&time);
  return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

std::optional<LedgerFolder> user_ledger_folder() {
  std::optional<std::string> own = own_files_dir();
  if (!own) return std::nullopt;
  std::string dir = path::join(*own, "ledger");
  LedgerFolder folder;
  // One judge for the folder's whole life: the user is asked once.
  auto judge = std::make_shared<JournalJudge>();
  // Made or checked once for whoever holds this folder (a run), then held (not to be renamed,
  // deleted or swapped for a link) until the last record is written: a name is never trusted
  // twice.
  auto held = std::make_shared<std::optional<HeldLedgerFolder>>();
  folder.prepare = [dir, judge, held]() -> std::expected<void, std::string> {
    if (*held) return {};
    auto ready = hold_user_ledger_folder(dir, *judge);
    if (!ready) return std::unexpected(ready.error());
    held->emplace(std::move(*ready));
    return {};
  };
  folder.distrust = [judge](HANDLE file) { return judge->distrust(file); };
  folder.replace = [held](std::string_view name,
                          std::string_view text) -> std::expected<void, std::string> {
    if (!*held) return std::unexpected(std::string("its folder is not held"));
    const HeldLedgerFolder& ready = **held;
    if (auto replaced = fs::replace_file_in(ready.folder, name, text, ready.security); !replaced) {
      return std::unexpected(replaced.error().display());
    }
    return {};
  };
  folder.dir = std::move(dir);
  return folder;
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

DaclChange as_undo_record(const LedgerEntry& entry, ChangeKind kind) {
  return DaclChange{
      .kind = kind,
      .path = entry.object,
      .object = entry.object,
      .identity = entry.identity,
      .entries = {},
      .was_protected = false,
  };
}

}  // namespace tavo

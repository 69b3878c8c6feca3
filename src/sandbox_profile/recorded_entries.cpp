#include "sandbox_profile/recorded_entries.h"

#include <algorithm>
#include <memory>
#include <optional>

#include "acl/changed_object.h"
#include "acl/dacl_lock.h"
#include "acl/deny_hold.h"
#include "acl/object_control.h"
#include "acl/take_back.h"
#include "base/format.h"
#include "runtime/log.h"
#include "sandbox_profile/admin_owned.h"
#include "sandbox_profile/nul_device.h"
#include "sandbox_profile/pool_dir.h"
#include "sandbox_profile/recorded_icacls.h"
#include "sid/sid_text.h"
#include "win/env.h"
#include "win/file_replace.h"
#include "win/fs.h"
#include "win/held_folder.h"
#include "win/path.h"
#include "win/security_descriptor.h"

namespace tavo {
namespace {

TakenEntries taken_of(EntryKind kind) {
  switch (kind) {
    case EntryKind::Traverse:
      return TakenEntries::TraverseAllows;
    case EntryKind::Deny:
    case EntryKind::StandingDeny:
      return TakenEntries::Denies;
    default:
      return TakenEntries::Allows;
  }
}

std::expected<DaclObject, std::string> reach(const LedgerEntry& entry) {
  // A traversal entry on a drive root is one the program put there, and may take back.
  return reach_changed_object(as_undo_record(entry, ChangeKind::Grant),
                              entry.kind == EntryKind::Traverse ? GuardRule::DriveRootsPass
                                                                : GuardRule::SystemPathsRefused);
}

// What became of one entry that was to be taken back.
enum class Outcome { Gone, LeftToLiveRun, Failed };

std::expected<void, Outcome> take_back_one(PSID sid, const LedgerEntry& entry,
                                           const DenyHeldByLiveRun& held,
                                           const DaclEditLock::Held& locked) {
  const bool deny = entry.kind == EntryKind::Deny || entry.kind == EntryKind::StandingDeny;
  if (deny && held(entry)) {
    log(Level::Info, kTargetMain, "cleanup: deny on {} left to a run still holding it",
        entry.object);
    return std::unexpected(Outcome::LeftToLiveRun);
  }
  if (entry.kind == EntryKind::NulDevice) {
    if (auto revoked = revoke_nul_device(sid, locked); !revoked) {
      log(Level::Warn, kTargetMain, "cleanup: taking back the NUL device entry failed: {}",
          revoked.error());
      return std::unexpected(Outcome::Failed);
    }
    return {};
  }
  if (entry.kind == EntryKind::Icacls) {
    if (auto removed = remove_icacls_grant(entry); !removed) {
      log(Level::Warn, kTargetMain, "cleanup: taking back the icacls grant on {} failed: {}",
          entry.object, removed.error());
      return std::unexpected(Outcome::Failed);
    }
    return {};
  }
  auto object = reach(entry);
  if (!object) {
    // Deleted with its entry: nothing is left to take back.
    if (!fs::exists(entry.object)) {
      log(Level::Info, kTargetMain, "cleanup: {} no longer exists, nor does its entry",
          entry.object);
      return std::unexpected(Outcome::Gone);
    }
    log(Level::Warn, kTargetMain, "cleanup: {} entry on {} left alone: {}", kind_name(entry.kind),
        entry.object, object.error());
    return std::unexpected(Outcome::Failed);
  }
  if (auto taken = take_back_entries(sid, *object, taken_of(entry.kind), locked); !taken) {
    log(Level::Warn, kTargetMain, "cleanup: taking back the {} entry on {} failed: {}",
        kind_name(entry.kind), entry.object, taken.error());
    return std::unexpected(Outcome::Failed);
  }
  return {};
}

struct Recorded {
  LedgerEntry entry;
  Ledger* ledger;
};

}  // namespace

LedgerFolder admin_ledger_folder() {
  const std::string pool = default_pool_dir();
  std::string dir = path::join(path::parent(pool).value_or(pool), "ledger");
  // The folder is made or checked once, then held (not to be renamed, deleted or swapped for a
  // link) for as long as anyone holds this folder: a registration writes many records.
  auto held = std::make_shared<std::optional<HeldFolder>>();
  LedgerFolder folder;
  folder.prepare = [dir, held]() -> std::expected<void, std::string> {
    if (*held) return {};
    if (auto made = prepare_pool_dir(dir); !made) return std::unexpected(made.error().display());
    auto opened = HeldFolder::open(dir);
    if (!opened) return std::unexpected(format("folder {} {}", dir, opened.error()));
    auto control = non_admin_control(opened->get());
    if (!control) return std::unexpected(control.error().display());
    if (*control) return std::unexpected(format("folder {} {}", dir, **control));
    *held = std::move(*opened);
    return {};
  };
  folder.distrust = [](HANDLE file) -> std::optional<std::string> {
    auto control = non_admin_control(file);
    if (!control) return control.error().display();
    return *control;
  };
  folder.replace = [held](std::string_view name,
                          std::string_view text) -> std::expected<void, std::string> {
    if (!*held) return std::unexpected(std::string("its folder is not held"));
    auto security = SddlDescriptor::parse(kAdminFileSddl);
    if (!security) return std::unexpected(security.error().display());
    if (auto replaced = fs::replace_file_in(**held, name, text, *security); !replaced) {
      return std::unexpected(replaced.error().display());
    }
    return {};
  };
  folder.dir = std::move(dir);
  return folder;
}

std::vector<Ledger> readable_ledgers() {
  std::vector<Ledger> ledgers;
  if (std::optional<LedgerFolder> own = user_ledger_folder()) ledgers.emplace_back(std::move(*own));
  ledgers.emplace_back(admin_ledger_folder());
  return ledgers;
}

std::expected<bool, std::string> entry_in_place(PSID sid, const LedgerEntry& entry) {
  if (entry.kind == EntryKind::NulDevice) return nul_device_admits(sid);
  if (entry.kind == EntryKind::Icacls) return icacls_grant_in_place(sid, entry);
  auto object = reach(entry);
  if (!object) return std::unexpected(object.error());
  auto held = holds_entries(sid, *object, taken_of(entry.kind));
  if (!held) return std::unexpected(held.error().display());
  return *held;
}

DenyHeldByLiveRun deny_held_by_live_runs() {
  return [](const LedgerEntry& entry) {
    // Asked of the system, not of other users' files: a process of any user that needs the deny
    // holds a named object for it. A hold that cannot be told about counts as held.
    if (!entry.identity) return false;
    return deny_holders(entry.sid, *entry.identity) != DenyHolders::None;
  };
}

std::size_t take_back_recorded(PSID sid, std::vector<Ledger>& ledgers,
                               const DenyHeldByLiveRun& held, DaclEditLock& lock) {
  const std::string sid_text = sid_to_sddl(sid).value_or("");
  std::vector<Recorded> recorded;
  for (Ledger& ledger : ledgers) {
    auto entries = ledger.read();
    if (!entries) {
      log(Level::Warn, kTargetMain, "cleanup: ledger {} cannot be read: {}", ledger.path(),
          entries.error());
      continue;
    }
    for (LedgerEntry& entry : *entries) {
      if (entry.sid == sid_text) recorded.push_back(Recorded{std::move(entry), &ledger});
    }
  }
  // Last placed first, across the ledgers, as an undo goes. A ledger lists its records in the
  // order they were placed, and the clock may give several the same time: those go in reverse.
  std::reverse(recorded.begin(), recorded.end());
  std::stable_sort(recorded.begin(), recorded.end(), [](const Recorded& a, const Recorded& b) {
    return a.entry.placed > b.entry.placed;
  });
  std::size_t failed = 0;
  for (const Recorded& item : recorded) {
    // Held from the look at who holds a deny to the record's removal.
    const DaclEditLock::Held locked = lock.hold();
    auto taken = take_back_one(sid, item.entry, held, locked);
    if (!taken && taken.error() == Outcome::LeftToLiveRun) continue;
    if (!taken && taken.error() == Outcome::Failed) {
      ++failed;
      continue;
    }
    if (auto forgotten = item.ledger->forget(item.entry); !forgotten) {
      log(Level::Warn, kTargetMain, "cleanup: ledger {}: removing the record of {} failed: {}",
          item.ledger->path(), item.entry.object, forgotten.error());
      ++failed;
    }
  }
  if (!recorded.empty()) {
    log(Level::Info, kTargetMain, "cleanup: {} of {} recorded entr(ies) taken back",
        recorded.size() - failed, recorded.size());
  }
  return failed;
}

void forget_revoked(PSID sid, const FileIdentity& identity, std::vector<Ledger>& ledgers,
                    DaclEditLock& lock) {
  const std::string sid_text = sid_to_sddl(sid).value_or("");
  [[maybe_unused]] const DaclEditLock::Held locked = lock.hold();
  for (Ledger& ledger : ledgers) {
    // A ledger that cannot be read records nothing this cleanup could remove.
    auto entries = ledger.read();
    if (!entries) continue;
    for (const LedgerEntry& entry : *entries) {
      if (entry.sid != sid_text || entry.identity != identity || entry.kind == EntryKind::Icacls)
        continue;
      if (auto forgotten = ledger.forget(entry); !forgotten) {
        log(Level::Warn, kTargetMain, "cleanup: ledger {}: removing the record of {} failed: {}",
            ledger.path(), entry.object, forgotten.error());
      }
    }
  }
}

}  // namespace tavo

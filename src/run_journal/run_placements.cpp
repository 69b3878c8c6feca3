#include "run_journal/run_placements.h"

#include "acl/dacl_lock.h"
#include "runtime/log.h"
#include "sid/sid_text.h"

namespace tavo {
RunPlacements::RunPlacements(PSID sid) : sid_(sid_to_sddl(sid).value_or("")) {
  std::optional<LedgerFolder> folder = user_ledger_folder();
  if (folder && !sid_.empty()) ledger_.emplace(std::move(*folder));
}

RunPlacements::RunPlacements(PSID sid, LedgerFolder folder) : sid_(sid_to_sddl(sid).value_or("")) {
  if (!sid_.empty()) ledger_.emplace(std::move(folder));
}

void RunPlacements::note(EntryKind kind, std::string_view level, const Placement& placement) {
  if (!ledger_) return;
  LedgerEntry entry{
      .kind = kind,
      .sid = sid_,
      .level = std::string(level),
      .options = "-",
      .placed = placed_now(),
      .identity = placement.identity,
      .object = placement.object,
  };
  auto noted = ledger_->note(entry);
  if (!noted) {
    log(Level::Warn, kTargetMain, "ledger {}: recording {} failed, going on without it: {}",
        ledger_->path(), placement.path, noted.error());
    ledger_.reset();
    return;
  }
  if (*noted) added_.push_back(std::move(entry));
}

void RunPlacements::forget_added_grants(DaclEditLock& lock) {
  if (!ledger_ || added_.empty()) return;
  const DaclEditLock::Held held = lock.hold();
  for (const LedgerEntry& entry : added_) {
    if (entry.kind != EntryKind::Grant) continue;
    if (auto forgotten = ledger_->forget(entry); !forgotten) {
      log(Level::Warn, kTargetMain, "ledger {}: removing {} failed: {}", ledger_->path(),
          entry.object, forgotten.error());
    }
  }
  added_.clear();
}

void GrantNote::before_write(DaclChange change) {
  if (change.kind == ChangeKind::Grant) {
    note_.before_placing(Placement{change.path, change.object, change.identity});
  }
  next_.before_write(std::move(change));
}

}  // namespace tavo

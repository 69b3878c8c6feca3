#include "run_journal/standing_denies.h"

#include <algorithm>

#include "acl/acl.h"
#include "acl/changed_object.h"
#include "base/format.h"
#include "run_journal/ledger.h"
#include "runtime/log.h"
#include "sid/sid_text.h"
#include "win/fs.h"
#include "win/path.h"
#include "win/path_names.h"

namespace tavo {
namespace {

// The entry a deny places on `object` (see deny_access): the one to take back, and nothing else
// of the SID's.
std::expected<SidEntry, HresultError> deny_entry_on(const DaclObject& object) {
  auto directory = object.is_directory();
  if (!directory) return std::unexpected(directory.error());
  return SidEntry{
      .type = ACCESS_DENIED_ACE_TYPE,
      .flags = static_cast<BYTE>(*directory ? OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE : 0),
      .mask = kDenyMask};
}

// The identities of the objects the run asks to deny, as far as they can be opened: one that
// cannot is not asked for as far as a standing deny can tell, and its deny fails later anyway.
std::vector<FileIdentity> identities_of(const std::vector<std::string>& paths) {
  std::vector<FileIdentity> identities;
  for (const std::string& path : paths) {
    auto object = DaclObject::open_to_read(to_long_path(path));
    if (!object) continue;
    if (auto identity = object->identity()) identities.push_back(*identity);
  }
  return identities;
}

}  // namespace

std::string standing_marker_name(std::string_view sid) {
  return format("standing-{}", sid);
}

StandingDenies::StandingDenies(PSID sid, ChangeRecorder& next, bool keep)
    : sid_(sid),
      next_(next),
      keep_(keep),
      sid_text_(sid_to_sddl(sid).value_or("")),
      folder_(user_ledger_folder()) {
  if (folder_ && !sid_text_.empty()) ledger_.emplace(*folder_);
}

bool StandingDenies::marked() {
  if (!marked_) {
    marked_ = ledger_ && fs::exists(path::join(folder_->dir, standing_marker_name(sid_text_)));
  }
  return *marked_;
}

bool StandingDenies::mark() {
  if (marked()) return true;
  auto made = folder_->prepare();
  if (made) made = folder_->replace(standing_marker_name(sid_text_), "");
  if (!made) {
    log(Level::Warn, kTargetMain, "ledger {}: marking standing denies failed: {}", folder_->dir,
        made.error());
    return false;
  }
  marked_ = true;
  return true;
}

void StandingDenies::unmark_when_none_left() {
  if (!standing_.empty() || !marked()) return;
  // Made again before the next record: a marker left by a failed removal only costs a read.
  if (auto removed = fs::remove_file(path::join(folder_->dir, standing_marker_name(sid_text_)));
      !removed) {
    log(Level::Debug, kTargetMain, "ledger {}: standing deny marker not removed: {}", folder_->dir,
        removed.error());
    return;
  }
  marked_ = false;
}

bool StandingDenies::recorded(const FileIdentity& identity) const {
  return std::any_of(standing_.begin(), standing_.end(), [&](const LedgerEntry& entry) {
    return entry.identity && *entry.identity == identity;
  });
}

bool StandingDenies::record(const DaclChange& change) {
  if (!ledger_ || !mark()) return false;
  LedgerEntry entry{
      .kind = EntryKind::StandingDeny,
      .sid = sid_text_,
      .level = "deny",
      .options = "-",
      .placed = placed_now(),
      .identity = change.identity,
      .object = change.object,
  };
  if (auto noted = ledger_->note(entry); !noted) {
    log(Level::Warn, kTargetMain,
        "ledger {}: recording the standing deny on {} failed; it is taken back when the run "
        "ends: {}",
        ledger_->path(), change.path, noted.error());
    ledger_.reset();
    return false;
  }
  if (!recorded(*change.identity)) standing_.push_back(std::move(entry));
  return true;
}

void StandingDenies::take_back_unasked(const std::vector<std::string>& asked, DaclEditLock& lock) {
  // The common case, a SID without standing denies, costs one look for the marker.
  if (!ledger_ || !marked()) return;
  const DaclEditLock::Held held = lock.hold();
  auto entries = ledger_->read();
  if (!entries) {
    log(Level::Warn, kTargetMain, "ledger {}: standing denies cannot be read: {}", ledger_->path(),
        entries.error());
    ledger_.reset();
    return;
  }
  standing_.clear();
  for (LedgerEntry& entry : *entries) {
    if (entry.kind == EntryKind::StandingDeny && entry.sid == sid_text_) {
      standing_.push_back(std::move(entry));
    }
  }
  const std::vector<FileIdentity> wanted =
      standing_.empty() ? std::vector<FileIdentity>{} : identities_of(asked);
  std::erase_if(standing_, [&](const LedgerEntry& entry) {
    if (!entry.identity) return false;
    if (std::find(wanted.begin(), wanted.end(), *entry.identity) != wanted.end()) return false;
    return take_back(entry, held);
  });
  unmark_when_none_left();
}

bool StandingDenies::take_back(const LedgerEntry& entry, const DaclEditLock::Held& held) {
  switch (deny_holders(sid_text_, *entry.identity)) {
    case DenyHolders::None:
      break;
    case DenyHolders::Some:
      log(Level::Debug, kTargetMain, "standing deny on {} left to a process still holding it",
          entry.object);
      return false;
    case DenyHolders::Unknown:
      // Someone may need it: a deny left in place is the safe side.
      log(Level::Warn, kTargetMain, "standing deny on {} left alone: its hold {} cannot be opened",
          entry.object, deny_hold_name(sid_text_, *entry.identity, HoldKind::Owner));
      return false;
  }
  DaclChange change = as_undo_record(entry, ChangeKind::DenyEntry);
  if (auto object = reach_changed_object(change)) {
    auto placed = deny_entry_on(*object);
    std::expected<void, HresultError> removed;
    if (!placed) {
      removed = std::unexpected(placed.error());
    } else {
      change.entries = {*placed};
      removed = remove_deny_entry(sid_, change, *object, held);
    }
    if (!removed) {
      log(Level::Warn, kTargetMain, "taking back the standing deny on {} failed: {}", entry.object,
          removed.error());
      return false;
    }
  } else if (fs::exists(entry.object)) {
    log(Level::Warn, kTargetMain, "standing deny on {} left alone: {}", entry.object,
        object.error());
    return false;
  }
  // The entry is gone (or its object is): only now may its record go.
  if (auto forgotten = ledger_->forget(entry); !forgotten) {
    log(Level::Warn, kTargetMain, "ledger {}: removing the record of {} failed: {}",
        ledger_->path(), entry.object, forgotten.error());
    return false;
  }
  log(Level::Info, kTargetMain, "standing deny on {} taken back: this run does not ask for it",
      entry.object);
  return true;
}

void StandingDenies::put_back_removed(DaclEditLock& lock) {
  if (kept_.empty()) return;
  const DaclEditLock::Held held = lock.hold();
  for (Kept& kept : kept_) {
    if (!kept.object) continue;
    auto put_back = put_back_deny(sid_, kept.change.entries.front(), *kept.object, held, [] {});
    if (!put_back) {
      log(Level::Warn, kTargetMain, "deny on {} could not be checked before the launch: {}",
          kept.change.path, put_back.error());
    } else if (*put_back) {
      log(Level::Info, kTargetMain, "deny on {} was removed meanwhile and is put back",
          kept.change.path);
    }
  }
}

void StandingDenies::before_write(DaclChange change) {
  last_went_next_ = true;
  if (keep_ && change.kind == ChangeKind::DenyEntry && change.identity) {
    // Held before the record and the write: no other run takes the entry back or joins it as
    // its owner meanwhile.
    DenyHold hold = DenyHold::take(sid_text_, *change.identity, HoldKind::Need);
    if (record(change)) {
      last_went_next_ = false;
      kept_.push_back(Kept{std::move(change), std::nullopt, std::move(hold)});
      return;
    }
  }
  next_.before_write(std::move(change));
}

void StandingDenies::write_failed() {
  if (last_went_next_) {
    next_.write_failed();
    return;
  }
  // Its record stays: a record without its entry is put right by the next run that asks for the
  // deny, or taken away by the next that does not.
  kept_.pop_back();
}

void StandingDenies::written(DaclObject object) {
  if (last_went_next_) {
    next_.written(std::move(object));
    return;
  }
  kept_.back().object = std::move(object);
}

void StandingDenies::deny_stands(DaclChange change, DaclObject object) {
  if (keep_ && change.identity && ledger_) {
    // Called under the DACL edit lock. A deny of this SID recorded as standing is this run's to
    // keep; so is one a live run placed and would take back at its end, once it is recorded.
    const FileIdentity identity = *change.identity;
    const bool mine = recorded(identity);
    if (mine || deny_holders(sid_text_, identity, HoldKind::Owner) == DenyHolders::Some) {
      DenyHold hold = DenyHold::take(sid_text_, identity, HoldKind::Need);
      if (mine || record(change)) {
        kept_.push_back(Kept{std::move(change), std::move(object), std::move(hold)});
        return;
      }
    }
  }
  next_.deny_stands(std::move(change), std::move(object));
}

}  // namespace tavo

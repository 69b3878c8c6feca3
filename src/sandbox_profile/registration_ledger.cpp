#include "sandbox_profile/registration_ledger.h"

#include "acl/dacl_lock.h"
#include "runtime/log.h"
#include "sandbox_profile/recorded_entries.h"
#include "sandbox_profile/recorded_icacls.h"
#include "sid/sid_text.h"

namespace tavo {

RegistrationLedger::RegistrationLedger(DaclEditLock& lock)
    : lock_(lock), folder_(admin_ledger_folder()) {}

RegistrationLedger::OfSid& RegistrationLedger::of(PSID sid) {
  OfSid& notes = sids_[sid_to_sddl(sid).value_or("")];
  if (!notes.placements) {
    notes.placements = std::make_unique<RunPlacements>(sid, folder_);
    notes.traversal =
        std::make_unique<PlacementNote>(*notes.placements, EntryKind::Traverse, "traverse");
    notes.nul_device =
        std::make_unique<PlacementNote>(*notes.placements, EntryKind::NulDevice, "rw");
    notes.grant = std::make_unique<LastingNote>(*notes.placements, EntryKind::Grant, "rw");
    notes.deny = std::make_unique<LastingNote>(*notes.placements, EntryKind::Deny, "deny");
  }
  return notes;
}

PlacementNotice* RegistrationLedger::traversal_of(PSID sid) {
  return of(sid).traversal.get();
}

ChangeRecorder* RegistrationLedger::grant_of(PSID sid) {
  return of(sid).grant.get();
}

PlacementNotice* RegistrationLedger::nul_device_of(PSID sid) {
  return of(sid).nul_device.get();
}

ChangeRecorder* RegistrationLedger::deny_of(PSID sid) {
  return of(sid).deny.get();
}

void RegistrationLedger::before_icacls(std::string_view target,
                                       const std::vector<std::string>& grants,
                                       std::span<const std::string_view> flags) {
  if (icacls_off_) return;
  Ledger ledger(folder_);
  // icacls changes no DACL under the lock; the ledger's change is made under it all the same.
  const DaclEditLock::Held held = lock_.hold();
  for (const LedgerEntry& record : icacls_records(target, grants, flags)) {
    if (auto noted = ledger.note(record); !noted) {
      log(Level::Warn, kTargetProfile,
          "ledger {}: recording icacls grants failed, going on "
          "without it: {}",
          ledger.path(), noted.error());
      icacls_off_ = true;
      return;
    }
  }
}

}  // namespace tavo

// What a registration places that lasts, recorded in the administrators' ledger before each write.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "acl/dacl_lock.h"
#include "path_grant/grant_notices.h"
#include "run_journal/ledger.h"
#include "run_journal/run_placements.h"

namespace tavo {

// The notices of one registration, for each of its SIDs. A ledger problem never fails the
// registration: it is warned about and the registration goes on.
class RegistrationLedger final : public GrantNotices {
 public:
  explicit RegistrationLedger(DaclEditLock& lock);
  RegistrationLedger(const RegistrationLedger&) = delete;
  RegistrationLedger& operator=(const RegistrationLedger&) = delete;

  PlacementNotice* traversal_of(PSID sid) override;
  ChangeRecorder* grant_of(PSID sid) override;
  void before_icacls(std::string_view target, const std::vector<std::string>& grants,
                     std::span<const std::string_view> flags) override;
  PlacementNotice* nul_device_of(PSID sid);
  // The credential denies: they stay until the SID is retired.
  ChangeRecorder* deny_of(PSID sid);

 private:
  struct OfSid {
    std::unique_ptr<RunPlacements> placements;
    std::unique_ptr<PlacementNote> traversal;
    std::unique_ptr<PlacementNote> nul_device;
    std::unique_ptr<LastingNote> grant;
    std::unique_ptr<LastingNote> deny;
  };
  OfSid& of(PSID sid);

  DaclEditLock& lock_;

  LedgerFolder folder_;
  std::map<std::string, OfSid> sids_;
  bool icacls_off_ = false;
};

}  // namespace tavo

// Where the registrations' lasting entries are announced before they are placed, for every SID
// of a registration at once (a pool registers several).
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "acl/dacl_change.h"
#include "acl/placement.h"
#include "win/api.h"

namespace tavo {

class GrantNotices {
 public:
  // Hears of each traversal entry of `sid` before its write.
  virtual PlacementNotice* traversal_of(PSID sid) = 0;
  // Hears of each read-write grant of `sid` before its write.
  virtual ChangeRecorder* grant_of(PSID sid) = 0;
  // Hears of an icacls run's grants ("*SID:(OI)(CI)(RX)") on `target` before the run.
  virtual void before_icacls(std::string_view target, const std::vector<std::string>& grants,
                             std::span<const std::string_view> flags) = 0;

 protected:
  ~GrantNotices() = default;
};

}  // namespace tavo

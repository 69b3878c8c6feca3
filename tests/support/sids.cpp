#include "support/sids.h"

#include <gtest/gtest.h>

#include "win/wide.h"

namespace tavo::testing {

SandboxSid make_sid(std::string_view sddl) {
  PSID sid = nullptr;
  EXPECT_TRUE(ConvertStringSidToSidW(to_wide_nul(sddl).c_str(), &sid)) << sddl;
  return SandboxSid(unique_local<void>(sid));
}

bool sid_equal(PSID a, PSID b) {
  return EqualSid(a, b) != FALSE;
}

}  // namespace tavo::testing

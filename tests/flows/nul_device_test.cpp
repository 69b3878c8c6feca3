#include "sandbox_profile/nul_device.h"

#include <gtest/gtest.h>
#include <winsim/testing.h>

#include "support/env.h"
#include "support/log_capture.h"
#include "support/machine.h"
#include "support/sids.h"
#include "win/error.h"

namespace tavo {
namespace {

class NulDevice : public testing::MachineTest {
 protected:
  SandboxSid sid = testing::make_sid();
};

TEST_F(NulDevice, GrantsReadWriteEachTimeItIsAsked) {
  testing::LogCapture log;
  ASSERT_TRUE(grant_nul_device(sid.get()));
  ASSERT_TRUE(grant_nul_device(sid.get()));
  EXPECT_EQ(log.count("[INFO  tavo_sandbox::sandbox_profile] NUL device: granted read+write to "
                      "AppContainer SID"),
            2u);
  const std::string dacl = winsim::dacl_sddl("NUL");
  EXPECT_NE(dacl.find("(A;;0xc0000000;;;" + std::string(testing::kTestSid) + ")"),
            std::string::npos)
      << dacl;
}

TEST_F(NulDevice, WithoutTheRightToChangeTheDaclTheOpenFails) {
  testing::ScopedEnv user("WINSIM_ADMIN", "0");
  EXPECT_EQ(grant_nul_device(sid.get()).error(),
            "CreateFileW NUL failed: " + HresultError::from_win32(5).display());
  EXPECT_EQ(winsim::count_calls("GetSecurityInfo"), 0u);
}

TEST_F(NulDevice, LaterStepsReportBareDecimalCodes) {
  const std::pair<const char*, const char*> steps[] = {
      {"GetSecurityInfo", "GetSecurityInfo NUL failed: 5"},
      {"SetEntriesInAclW", "SetEntriesInAclW NUL failed: 5"},
      {"SetSecurityInfo", "SetSecurityInfo NUL failed: 5"},
  };
  for (const auto& [function, message] : steps) {
    winsim::fail_next_call(function, "", ERROR_ACCESS_DENIED);
    EXPECT_EQ(grant_nul_device(sid.get()).error(), message);
  }
  EXPECT_EQ(winsim::dacl_sddl("NUL").find(std::string(testing::kTestSid)), std::string::npos);
}

}  // namespace
}  // namespace tavo

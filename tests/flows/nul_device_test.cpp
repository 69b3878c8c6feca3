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

TEST_F(NulDevice, GrantsReadWriteOnceWhateverTheNumberOfTimesAsked) {
  testing::LogCapture log;
  ASSERT_TRUE(grant_nul_device(sid.get()));
  ASSERT_TRUE(grant_nul_device(sid.get()));
  const std::string line =
      "[INFO  tavo_sandbox::sandbox_profile] NUL device: granted read+write to AppContainer SID\n";
  EXPECT_EQ(log.text(), line + line);
  EXPECT_EQ(winsim::dacl_sddl("NUL"), "D:(A;;0xc0000000;;;" + std::string(testing::kTestSid) +
                                          ")(A;;0x1f01ff;;;S-1-5-18)(A;;0x1f01ff;;;S-1-5-32-544)"
                                          "(A;;0xc0000000;;;S-1-1-0)");
}

// Only the open's failure carries the error's text; the later steps show bare decimal codes.
TEST_F(NulDevice, EachFailingStepHasItsMessageAndChangesNothing) {
  const std::string before = winsim::dacl_sddl("NUL");
  {
    testing::ScopedEnv user("WINSIM_ADMIN", "0");
    EXPECT_EQ(grant_nul_device(sid.get()).error(),
              "CreateFileW NUL failed: " + HresultError::from_win32(5).display());
  }
  for (const char* step : {"GetSecurityInfo", "SetEntriesInAclW", "SetSecurityInfo"}) {
    winsim::fail_next_call(step, "", ERROR_ACCESS_DENIED);
    EXPECT_EQ(grant_nul_device(sid.get()).error(), std::string(step) + " NUL failed: 5");
  }
  EXPECT_EQ(winsim::dacl_sddl("NUL"), before);
}

}  // namespace
}  // namespace tavo

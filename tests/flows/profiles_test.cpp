#include "sandbox_profile/profiles.h"

#include <gtest/gtest.h>
#include <winsim/testing.h>

#include "support/machine.h"

namespace tavo {
namespace {

class Profiles : public testing::MachineTest {
 protected:
  void TearDown() override {
    forget_profile_functions();
    MachineTest::TearDown();
  }
};

// The three functions are looked up together: where userenv.dll lacks one, every operation fails
// with that error; they are looked for again next time.
TEST_F(Profiles, AMissingProfileFunctionFailsEveryOperationCleanly) {
  forget_profile_functions();
  winsim::fail_every_call("GetProcAddress", "DeleteAppContainerProfile", ERROR_PROC_NOT_FOUND);
  EXPECT_EQ(ensure_profile("p").error().code(), 0x8007007Fu);
  EXPECT_EQ(derive_sid("p").error().code(), 0x8007007Fu);
  EXPECT_EQ(delete_profile("p").error().code(), 0x8007007Fu);
  winsim::clear_faults();
  EXPECT_TRUE(ensure_profile("p"));
}

}  // namespace
}  // namespace tavo

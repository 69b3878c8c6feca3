#include "sandbox_profile/profiles.h"

#include <gtest/gtest.h>
#include <winsim/testing.h>

#include "support/machine.h"
#include "support/sids.h"

namespace tavo {
namespace {

class Profiles : public testing::MachineTest {
 protected:
  void TearDown() override {
    forget_profile_functions();
    MachineTest::TearDown();
  }
};

// Ensuring an existing profile finds it (names ignore case), and its SID is the derived one;
// deleting one that is not there is no failure.
TEST_F(Profiles, EnsuringTwiceFindsTheProfileWhoseSidIsTheDerivedOne) {
  auto first = ensure_profile("build-42");
  auto second = ensure_profile("BUILD-42");
  auto derived = derive_sid("build-42");
  ASSERT_TRUE(first && second && derived);
  EXPECT_TRUE(testing::sid_equal(first->get(), second->get()));
  EXPECT_TRUE(testing::sid_equal(first->get(), derived->get()));
  EXPECT_EQ(winsim::profiles().size(), 1u);
  EXPECT_TRUE(delete_profile("build-42") && delete_profile("build-42"));
  EXPECT_TRUE(winsim::profiles().empty());
}

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

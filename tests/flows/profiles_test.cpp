#include "sandbox_profile/profiles.h"

#include <gtest/gtest.h>
#include <winsim/testing.h>

#include "sandbox_profile/sid.h"
#include "sid/sid_text.h"
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

TEST_F(Profiles, EnsuringTwiceFindsTheSameProfileWhoseSidIsTheDerivedOne) {
  auto first = ensure_profile("build-42");
  auto second = ensure_profile("BUILD-42");  // profile names ignore case
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->kind(), SandboxSid::Kind::Profile);
  EXPECT_TRUE(testing::sid_equal(first->get(), second->get()));
  auto derived = derive_sid("build-42");
  ASSERT_TRUE(derived);
  EXPECT_TRUE(testing::sid_equal(first->get(), derived->get()));
  EXPECT_EQ(winsim::profiles().size(), 1u);
}

TEST_F(Profiles, TheDerivationIsThePlatformsOwn) {
  for (const char* name :
       {"microsoft.windows.cortana_cw5n1h2txyewy", "Microsoft.Windows.Cortana_cw5n1h2txyewy"}) {
    auto sid = derive_sid(name);
    ASSERT_TRUE(sid);
    EXPECT_EQ(sid_to_sddl(sid->get()),
              "S-1-15-2-1861897761-1695161497-2927542615-642690995-327840285-2659745135-"
              "2630312742");
  }
  EXPECT_TRUE(winsim::profiles().empty());  // deriving creates nothing
}

TEST_F(Profiles, ARefusedNameGivesThePlatformsFailure) {
  EXPECT_TRUE(ensure_profile(std::string(64, 'a')));
  for (const std::string& name : {std::string("not/allowed"), std::string(65, 'a'), std::string(""),
                                  std::string("caf\xC3\xA9")}) {
    auto refused = ensure_profile(name);
    ASSERT_FALSE(refused) << name;
    EXPECT_EQ(refused.error().code(), 0x80070057u) << name;
  }
}

TEST_F(Profiles, DeletingRemovesTheProfileAndAMissingOneIsFine) {
  ASSERT_TRUE(ensure_profile("gone-soon"));
  ASSERT_TRUE(delete_profile("gone-soon"));
  EXPECT_TRUE(delete_profile("gone-soon"));
  EXPECT_TRUE(delete_profile("never-there"));
  EXPECT_TRUE(winsim::profiles().empty());
}

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

// The security calls the program relies on where no flow reaches every case: the control bits of
// a descriptor it builds. Under Wine, the platform's implementation checks winsim's.
#include <gtest/gtest.h>

#include "acl/ace_list.h"
#include "acl/dacl.h"
#include "support/machine.h"
#include "support/sids.h"
#include "win/api.h"

namespace tavo {
namespace {

class SecurityCalls : public testing::MachineTest {};

// What a write of one object carries over: a fresh descriptor with its DACL takes the protection
// and the auto-inherited mark it is given, and no other control bit.
TEST_F(SecurityCalls, AnAbsoluteDescriptorCarriesTheDaclControlItIsGiven) {
  SandboxSid sid = testing::make_sid();
  auto acl = AceList({Ace::of({ACCESS_ALLOWED_ACE_TYPE, 0, 0x1200a9}, sid.get())}).to_acl();
  ASSERT_TRUE(acl);
  SECURITY_DESCRIPTOR sd{};
  ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
  ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, acl->get(), FALSE));
  for (const SECURITY_DESCRIPTOR_CONTROL bits :
       {SECURITY_DESCRIPTOR_CONTROL{SE_DACL_PROTECTED}, SECURITY_DESCRIPTOR_CONTROL{0},
        SECURITY_DESCRIPTOR_CONTROL{SE_DACL_AUTO_INHERITED}, kKeptDaclControl}) {
    ASSERT_TRUE(SetSecurityDescriptorControl(&sd, kKeptDaclControl, bits));
    EXPECT_EQ(kept_dacl_control(&sd).value_or(SECURITY_DESCRIPTOR_CONTROL{0xFFFF}), bits);
  }
}

}  // namespace
}  // namespace tavo

// A deny of a directory either reaches everything below it or is not written: whichever platform
// call of the deny fails, a deny that succeeds carries the inheritance flags.
#include <gtest/gtest.h>
#include <winsim/testing.h>

#include "acl/acl.h"
#include "support/machine.h"
#include "support/sids.h"
#include "support/temp_dir.h"

namespace tavo {
namespace {

class DenyOfADirectory : public testing::MachineTest {
 protected:
  void SetUp() override { dir.write("secret/file.txt", "x"); }
  bool deny() { return deny_access(sid.get(), dir / "secret").has_value(); }

  testing::TempDir dir;
  SandboxSid sid = testing::make_sid();
};

TEST_F(DenyOfADirectory, SucceedsOnlyWithItsInheritanceWhateverCallFails) {
  ASSERT_TRUE(deny());
  const std::size_t calls = winsim::faultable_calls();
  const std::string inheriting_deny = "(D;OICI;0x1201bf;;;" + std::string(testing::kTestSid) + ")";
  for (std::size_t n = 1; n <= calls; ++n) {
    fresh_machine();
    winsim::fail_call_number(n, ERROR_SHARING_VIOLATION);
    const bool denied = deny();
    winsim::clear_faults();
    const std::string stored = winsim::stored_sddl(dir / "secret");
    if (denied) {
      EXPECT_NE(stored.find(inheriting_deny), std::string::npos) << "call " << n << ": " << stored;
    } else {
      EXPECT_EQ(stored, "") << "call " << n;
    }
  }
}

}  // namespace
}  // namespace tavo

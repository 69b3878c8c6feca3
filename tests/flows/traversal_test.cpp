#include "path_grant/traversal.h"

#include <gtest/gtest.h>
#include <winsim/testing.h>

#include "flows/drives.h"
#include "support/faults.h"
#include "support/log_capture.h"
#include "support/machine.h"
#include "support/sids.h"
#include "win/error.h"

namespace tavo {
namespace {

using testing::keys_of;
using Paths = std::vector<std::string>;

class Traversal : public testing::MachineTest {
 protected:
  void SetUp() override { drives.make_dirs({"C:\\Users\\ann\\proj", "D:\\"}); }
  testing::Drives drives;
  SandboxSid sid = testing::make_sid();
  testing::LogCapture log{Level::Info};
};

// The ancestors, nearest first, of the final path (or the path as given); those open to every
// AppContainer are passed by, a protected one stays protected, the first failure ends the walk.
TEST_F(Traversal, TheAncestorsOfTheResolvedDirectoryAreGrantedNearestFirst) {
  ASSERT_TRUE(grant_cwd_ancestors(sid.get(), "C:\\Users\\ann\\proj"));
  EXPECT_EQ(keys_of("SetKernelObjectSecurity"),
            (Paths{"\\\\?\\C:\\Users\\ann", "\\\\?\\C:\\Users", "\\\\?\\C:\\"}));
  fresh_machine();
  winsim::set_stored_sddl("C:\\Users", "D:(A;;0x1200a9;;;S-1-15-2-1)");
  winsim::set_stored_sddl("C:\\Users\\ann", "D:P(A;OICI;0x1f01ff;;;S-1-5-18)");
  ASSERT_TRUE(grant_cwd_ancestors(sid.get(), "C:\\Users\\ann\\x"));
  ASSERT_TRUE(grant_cwd_ancestors(sid.get(), "C:\\"));
  EXPECT_EQ(keys_of("SetKernelObjectSecurity"), (Paths{"C:\\Users\\ann", "C:\\"}));
  EXPECT_EQ(
      winsim::stored_sddl("C:\\Users\\ann"),
      "D:P(A;;0x1200a9;;;" + std::string(testing::kTestSid) + ")(A;OICI;0x1f01ff;;;S-1-5-18)");
  const std::string info = "[INFO  tavo_sandbox::path_grant] granted traverse on ";
  EXPECT_EQ(log.text(), info + "3 ancestor(s) of C:\\Users\\ann\\proj\n" + info +
                            "2 ancestor(s) of C:\\Users\\ann\\x\n");

  fresh_machine();
  winsim::fail_next_call("SetKernelObjectSecurity", "ann", ERROR_ACCESS_DENIED);
  EXPECT_EQ(grant_cwd_ancestors(sid.get(), "C:\\Users\\ann\\x").error(),
            "grant ancestor C:\\Users\\ann failed: " + HresultError::from_win32(5).display());
  EXPECT_EQ(keys_of("SetKernelObjectSecurity"), Paths{"C:\\Users\\ann"});
}

// An empty or missing SystemDrive means C:.
TEST_F(Traversal, TheDriveRootComesFromSystemDrive) {
  for (const char* drive : {"D:", "D:\\", "", static_cast<const char*>(nullptr)}) {
    testing::ScopedEnv system_drive("SystemDrive",
                                    drive ? std::optional<std::string>(drive) : std::nullopt);
    ASSERT_TRUE(grant_drive_root_traversal(sid.get()));
  }
  EXPECT_EQ(keys_of("SetKernelObjectSecurity"), (Paths{"D:\\", "C:\\"}));  // the others unchanged
}

}  // namespace
}  // namespace tavo

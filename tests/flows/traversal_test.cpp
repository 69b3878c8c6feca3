#include "path_grant/traversal.h"

#include <gtest/gtest.h>
#include <winsim/testing.h>

#include "support/env.h"
#include "support/faults.h"
#include "support/log_capture.h"
#include "support/machine.h"
#include "support/sids.h"
#include "support/temp_dir.h"
#include "win/error.h"

namespace tavo {
namespace {

// The ancestors granted, in order: the keys of the traversal writes.
std::vector<std::string> traverse_writes() {
  std::vector<std::string> keys;
  for (const auto& call : winsim::trace()) {
    if (call.function == "SetFileSecurityW") keys.push_back(call.key);
  }
  return keys;
}

class Traversal : public testing::MachineTest {
 protected:
  void SetUp() override { root.make_dir("c/Users/ann/proj"); }
  testing::TempDir root;
  testing::ScopedEnv drives{"WINSIM_ROOT", root.path()};
  SandboxSid sid = testing::make_sid();
};

TEST_F(Traversal, AnExistingDirectoryGrantsItsResolvedAncestorsNearestFirst) {
  testing::LogCapture log;
  ASSERT_TRUE(grant_cwd_ancestors(sid.get(), "C:\\Users\\ann\\proj"));
  EXPECT_EQ(traverse_writes(),
            (std::vector<std::string>{"\\\\?\\C:\\Users\\ann", "\\\\?\\C:\\Users", "\\\\?\\C:\\"}));
  EXPECT_TRUE(
      log.contains("[INFO  tavo_sandbox::path_grant] granted traverse on 3 ancestor(s) of "
                   "C:\\Users\\ann\\proj\n"));
  EXPECT_TRUE(
      log.contains("[DEBUG tavo_sandbox::path_grant] granting traverse on ancestor: "
                   "\\\\?\\C:\\Users\\ann\n"));
}

TEST_F(Traversal, AMissingLeafUsesThePathAsGiven) {
  ASSERT_TRUE(grant_cwd_ancestors(sid.get(), "C:\\Users\\ann\\x"));
  EXPECT_EQ(traverse_writes(), (std::vector<std::string>{"C:\\Users\\ann", "C:\\Users", "C:\\"}));
}

TEST_F(Traversal, ADriveRootHasNoAncestors) {
  testing::LogCapture log;
  ASSERT_TRUE(grant_cwd_ancestors(sid.get(), "C:\\"));
  EXPECT_TRUE(traverse_writes().empty());
  EXPECT_FALSE(log.contains("INFO"));
}

TEST_F(Traversal, AncestorsThatAdmitAllApplicationPackagesAreSkipped) {
  winsim::set_stored_sddl(root / "c/Users", "D:(A;;0x1200a9;;;S-1-15-2-1)");
  winsim::set_stored_sddl(root / "c", "D:(A;;0x1200a9;;;S-1-15-2-1)");
  testing::LogCapture log;
  ASSERT_TRUE(grant_cwd_ancestors(sid.get(), "C:\\Users\\ann\\x"));
  EXPECT_EQ(traverse_writes(), std::vector<std::string>{"C:\\Users\\ann"});
  EXPECT_TRUE(log.contains("ancestor C:\\Users already has AAP \xE2\x80\x94 skipping"));
  EXPECT_TRUE(log.contains("granted traverse on 1 ancestor(s) of C:\\Users\\ann\\x"));

  winsim::set_stored_sddl(root / "c/Users/ann", "D:(A;;0x1200a9;;;S-1-15-2-1)");
  testing::LogCapture quiet;
  ASSERT_TRUE(grant_cwd_ancestors(sid.get(), "C:\\Users\\ann\\x"));
  EXPECT_FALSE(quiet.contains("INFO"));
}

TEST_F(Traversal, TheFirstFailureEndsTheWalkAndKeepsWhatWasDone) {
  const std::size_t second_write = testing::faultable_number_of(
      [&] { (void)grant_cwd_ancestors(sid.get(), "C:\\Users\\ann\\x"); }, "SetFileSecurityW", 2);
  ASSERT_GT(second_write, 0u);
  fresh_machine();
  winsim::fail_call_number(second_write, ERROR_ACCESS_DENIED);
  auto result = grant_cwd_ancestors(sid.get(), "C:\\Users\\ann\\x");
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(),
            "grant ancestor C:\\Users failed: " + HresultError::from_win32(5).display());
  const std::string ours = std::string(testing::kTestSid);
  EXPECT_NE(winsim::stored_sddl(root / "c/Users/ann").find(ours), std::string::npos);
  EXPECT_EQ(winsim::stored_sddl(root / "c").find(ours), std::string::npos);
}

TEST_F(Traversal, TheDriveRootComesFromSystemDrive) {
  root.make_dir("d");
  testing::LogCapture log;
  const std::pair<std::optional<std::string>, const char*> cases[] = {
      {"D:", "D:\\"}, {"D:\\", "D:\\"}, {"", "C:\\"}, {std::nullopt, "C:\\"}};
  for (const auto& [value, root_dir] : cases) {
    testing::ScopedEnv drive("SystemDrive", value);
    ASSERT_TRUE(grant_drive_root_traversal(sid.get()));
    EXPECT_EQ(log.lines().back(),
              std::string("[INFO  tavo_sandbox::path_grant] granting drive root traversal on ") +
                  root_dir + "\n");
  }
  EXPECT_NE(winsim::stored_sddl(root / "d").find(std::string(testing::kTestSid)),
            std::string::npos);
  winsim::fail_next_call("SetFileSecurityW", "", ERROR_ACCESS_DENIED);
  winsim::set_stored_sddl(root / "c", "");
  EXPECT_EQ(grant_drive_root_traversal(sid.get()).error(),
            "grant drive root traversal on C:\\ failed: " + HresultError::from_win32(5).display());
}

}  // namespace
}  // namespace tavo

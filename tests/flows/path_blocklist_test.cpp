// The system-path guard on winsim's drives: however a path is typed, a protected directory is
// refused, and only that; a folder swapped for a link to one is edited where it was opened.
#include <gtest/gtest.h>
#include <winsim/testing.h>

#include <filesystem>

#include "acl/acl.h"
#include "acl/path_blocklist.h"
#include "cleanup.h"
#include "flows/drives.h"
#include "run_mode.h"
#include "support/faults.h"
#include "support/log_capture.h"
#include "support/machine.h"
#include "support/sids.h"

namespace tavo {
namespace {

constexpr std::string_view kSystem = "C:\\Windows\\System32";

class PathBlocklist : public testing::MachineTest {
 protected:
  void SetUp() override {
    drives.make_dirs({kSystem});
    system_before = winsim::dacl_sddl(kSystem);
  }
  void TearDown() override {
    EXPECT_EQ(winsim::stored_sddl(kSystem), "");
    EXPECT_EQ(winsim::dacl_sddl(kSystem), system_before);
  }

  // C:\work\NAME, replaced by a link to the system folder once the first `call` on it returned.
  std::string folder_swapped_after(const std::string& name, std::string call) const {
    const std::string folder = "C:\\work\\" + name;
    drives.make_dirs({folder});
    winsim::replace_with_link_after(std::move(call), name, folder, std::string(kSystem));
    return folder;
  }

  testing::Drives drives;
  SandboxSid sid = testing::make_sid();
  std::string system_before;
};

TEST_F(PathBlocklist, OnlyProtectedDirectoriesAreRefusedHoweverTyped) {
  drives.make_dirs({"C:\\Program Files\\App", "C:\\Program Files (x86)", "C:\\ProgramData",
                    "C:\\Temp", "C:\\Users\\me\\proj"});
  std::filesystem::create_directory_symlink(drives.host("C:\\Windows"),
                                            drives.host("C:\\Users\\me\\win"));
  // 8.3 names count in name order: PROGRA~1, ~2 and ~3 are Program Files, its (x86) and
  // ProgramData; the text alone names no system path.
  for (const char* path : {"C:\\PROGRA~1", "c:\\progra~2\\", "C:\\PROGRA~3", "C:\\PROGRA~1\\App",
                           "C:\\Temp\\..\\Program Files\\App", "C:\\Users\\me\\win\\System32"}) {
    EXPECT_FALSE(is_system_path(path)) << path;
    EXPECT_TRUE(is_refused_path(path)) << path;
  }
  for (const char* path : {"C:\\Users\\me\\proj", "C:\\Users\\me\\missing\\x", "D:\\Windows",
                           "C:\\Temp\\..\\Users", "C:\\Windows.old", "C:\\PROGRA~4"}) {
    EXPECT_FALSE(is_refused_path(path)) << path;
  }
  testing::CurrentDirectory in_c_root(drives.host("C:\\"));
  for (const char* relative : {"Windows", ".", "C:Windows", "Temp\\..\\Windows"})
    EXPECT_TRUE(is_refused_path(relative)) << relative;
}

// Swapped after the DACL read, an edit writes the folder it read (the other edits read and write
// as the grant does).
TEST_F(PathBlocklist, AnEditLandsOnTheFolderItRead) {
  const std::string trustee = ";;;" + std::string(testing::kTestSid) + ")";
  const std::string granted = folder_swapped_after("grant", "GetSecurityInfo");
  ASSERT_TRUE(grant_access(sid.get(), granted, AccessLevel::ReadWrite, DaclEditLock().hold()));
  EXPECT_EQ(winsim::stored_sddl(granted + ".swapped"), "D:(A;OICI;0x1301bf" + trustee);
  const std::string passed = folder_swapped_after("traverse", "GetKernelObjectSecurity");
  ASSERT_TRUE(grant_traverse(sid.get(), passed, DaclEditLock().hold()));
  EXPECT_EQ(winsim::stored_sddl(passed + ".swapped"), "D:(A;;0x1200a9" + trustee);
  EXPECT_EQ(testing::dacl_calls_by_name(), std::vector<std::string>{});
}

// Swapped after the guard's check at the start, it is refused when the edit opens it: a run ends
// with status 12, a cleanup skips it.
TEST_F(PathBlocklist, AFolderSwappedAfterTheGuardIsRefusedWhenOpened) {
  tavo::Run run;
  run.profile_name = "p";
  run.command = "true";
  run.grant_r = {folder_swapped_after("first", "GetFinalPathNameByHandleW")};
  testing::LogCapture log(Level::Warn);
  EXPECT_EQ(run_sandboxed(run), 12);
  EXPECT_EQ(cleanup({"p", {folder_swapped_after("second", "GetFinalPathNameByHandleW")}, {}}), 0);
  EXPECT_EQ(log.text(),
            "[ERROR tavo_sandbox] refusing to modify ACL on system path: C:\\work\\first\n"
            "[WARN  tavo_sandbox] cleanup: refusing to revoke ACL on system path: "
            "C:\\work\\second\n");
}

}  // namespace
}  // namespace tavo

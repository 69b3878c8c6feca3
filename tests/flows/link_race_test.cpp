// A folder swapped for a link to a system folder between the guard, the DACL read and the write:
// each edit stays on the object it opened, or is refused as a system path is.
#include <gtest/gtest.h>
#include <winsim/testing.h>

#include <functional>

#include "acl/acl.h"
#include "cleanup.h"
#include "flows/drives.h"
#include "run_mode.h"
#include "support/faults.h"
#include "support/log_capture.h"
#include "support/machine.h"
#include "support/sids.h"

namespace tavo {
namespace {

using testing::kTestSid;

constexpr std::string_view kSystem = "C:\\Windows\\System32";

class LinkRace : public testing::MachineTest {
 protected:
  void SetUp() override {
    drives.make_dirs({kSystem});
    system_before = winsim::dacl_sddl(kSystem);
  }

  // C:\work\NAME, to be replaced by a link to the system folder once the first call of `call`
  // on it has returned.
  std::string folder_swapped_after(const std::string& name, std::string call) const {
    const std::string folder = "C:\\work\\" + name;
    drives.make_dirs({folder});
    winsim::replace_with_link_after(std::move(call), name, folder, std::string(kSystem));
    return folder;
  }

  void expect_system_folder_unchanged() const {
    EXPECT_EQ(winsim::stored_sddl(kSystem), "");
    EXPECT_EQ(winsim::dacl_sddl(kSystem), system_before);
  }

  testing::Drives drives;
  SandboxSid sid = testing::make_sid();
  std::string system_before;
};

std::string entry(std::string_view type_flags_mask) {
  return "(" + std::string(type_flags_mask) + ";;;" + std::string(kTestSid) + ")";
}

// Swapped right after the DACL read, each edit writes the folder it read, now moved aside.
TEST_F(LinkRace, EachEditLandsOnTheFolderItRead) {
  using Edit = std::function<std::expected<void, HresultError>(const std::string&)>;
  const std::string granted = entry("A;OICI;0x1301bf");
  struct Case {
    const char* name;
    const char* read;
    std::string arranged;  // what the folder stores before the edit
    Edit edit;
    std::string after;  // what the original folder stores after it
  };
  const Case cases[] = {
      {"grant", "GetSecurityInfo", "",
       [&](const std::string& path) {
         return grant_access(sid.get(), path, AccessLevel::ReadWrite);
       },
       "D:" + granted},
      {"deny", "GetSecurityInfo", "",
       [&](const std::string& path) { return deny_access(sid.get(), path); },
       "D:P" + entry("D;OICI;0x1201bf")},
      {"revoke", "GetSecurityInfo", "D:" + granted,
       [&](const std::string& path) { return revoke_access(sid.get(), path); }, ""},
      {"undo", "GetSecurityInfo", "D:" + granted,
       [&](const std::string& path) {
         return restore_entries(sid.get(),
                                DaclChange{ChangeKind::Grant, path, "\\\\?\\" + path, {}, false});
       },
       ""},
      {"traverse", "GetKernelObjectSecurity", "",
       [&](const std::string& path) { return grant_traverse(sid.get(), path); },
       "D:" + entry("A;;0x1200a9")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string folder = folder_swapped_after(c.name, c.read);
    if (!c.arranged.empty()) winsim::set_stored_sddl(folder, c.arranged);
    ASSERT_TRUE(c.edit(folder));
    const std::string original = winsim::stored_sddl(folder + ".swapped");
    EXPECT_TRUE(c.after.empty() ? original.empty() : original.starts_with(c.after)) << original;
    expect_system_folder_unchanged();
  }
  EXPECT_EQ(testing::dacl_calls_by_name(), std::vector<std::string>{});
}

// Swapped right after the guard's check at the start, the folder is refused when the edit opens
// it, as a system path is: a run ends with status 12, a cleanup skips it, and nothing is changed.
TEST_F(LinkRace, ARunAndACleanupRefuseAFolderSwappedAfterItsGuard) {
  tavo::Run run;
  run.profile_name = "p";
  run.command = "sh";
  run.args = {"-c", "exit 0"};
  run.grant_r = {folder_swapped_after("first", "GetFinalPathNameByHandleW")};
  testing::LogCapture log(Level::Warn);
  EXPECT_EQ(run_sandboxed(run), 12);
  EXPECT_EQ(cleanup({"p", {folder_swapped_after("second", "GetFinalPathNameByHandleW")}, {}}), 0);
  EXPECT_EQ(log.text(),
            "[ERROR tavo_sandbox] refusing to modify ACL on system path: C:\\work\\first\n"
            "[WARN  tavo_sandbox] cleanup: refusing to revoke ACL on system path: "
            "C:\\work\\second\n");
  expect_system_folder_unchanged();
}

}  // namespace
}  // namespace tavo

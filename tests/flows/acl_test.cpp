// The ACL edits against winsim's security model, asserted on the objects' stored entries.
#include "acl.h"

#include <gtest/gtest.h>
#include <winsim/testing.h>

#include <functional>

#include "path_grant/all_app_packages.h"
#include "support/machine.h"
#include "support/sids.h"
#include "support/temp_dir.h"

namespace tavo {
namespace {

using testing::kTestSid;

std::string entry(std::string_view type_flags_mask) {
  return "(" + std::string(type_flags_mask) + ";;;" + std::string(kTestSid) + ")";
}

class AclEditing : public testing::MachineTest {
 protected:
  void SetUp() override { dir.write("work/file.txt", "x"); }
  std::string stored(std::string_view name) const { return winsim::stored_sddl(dir / name); }
  std::string effective(std::string_view name) const { return winsim::dacl_sddl(dir / name); }

  testing::TempDir dir;
  SandboxSid sid = testing::make_sid();
  const std::string owner_choice = "D:P(A;OICI;0x1f01ff;;;S-1-5-18)";
};

// The platform would move a re-set entry in front of another SID's, and a built ACL carries
// unused space: neither may make an unchanged grant a write.
TEST_F(AclEditing, AGrantAlreadyInPlaceWritesNothing) {
  SandboxSid other = testing::make_sid(testing::kOtherSid);
  dir.write("passage/file.txt", "x");
  for (int round = 0; round < 2; ++round) {
    ASSERT_TRUE(grant_access(sid.get(), dir / "work", AccessLevel::ReadWrite));
    ASSERT_TRUE(grant_access(other.get(), dir / "work", AccessLevel::ReadWrite));
    ASSERT_TRUE(grant_traverse(sid.get(), dir / "passage"));
    ASSERT_TRUE(grant_traverse(other.get(), dir / "passage"));
  }
  EXPECT_EQ(winsim::count_calls("SetNamedSecurityInfoW"), 2u);
  EXPECT_EQ(winsim::count_calls("SetFileSecurityW"), 2u);
  EXPECT_EQ(stored("work"), "D:(A;OICI;0x1301bf;;;" + std::string(testing::kOtherSid) + ")" +
                                entry("A;OICI;0x1301bf"));
  EXPECT_NE(stored("passage").find(entry("A;;0x1200a9")), std::string::npos);
  EXPECT_EQ(effective("passage/file.txt").find(kTestSid), std::string::npos);  // nothing below
}

TEST_F(AclEditing, ANewLevelReplacesTheSidsEntryAndReachesChildren) {
  ASSERT_TRUE(grant_access(sid.get(), dir / "work", AccessLevel::Read));
  ASSERT_TRUE(grant_access(sid.get(), dir / "work", AccessLevel::ReadWrite));
  EXPECT_EQ(stored("work"), "D:" + entry("A;OICI;0x1301bf"));
  ASSERT_TRUE(grant_access(sid.get(), dir / "work", AccessLevel::Read));
  EXPECT_EQ(stored("work"), "D:" + entry("A;OICI;0x1200a9"));
  EXPECT_NE(effective("work/file.txt").find(entry("A;ID;0x1200a9")), std::string::npos);
  EXPECT_EQ(winsim::count_calls("SetNamedSecurityInfoW"), 3u);

  winsim::set_stored_sddl(dir / "work", owner_choice);  // a grant keeps protection
  ASSERT_TRUE(grant_access(sid.get(), dir / "work", AccessLevel::Read));
  EXPECT_EQ(stored("work"), "D:P" + entry("A;OICI;0x1200a9") + "(A;OICI;0x1f01ff;;;S-1-5-18)");
}

TEST_F(AclEditing, DenyProtectsAndReplacesTheSidsEntries) {
  ASSERT_TRUE(grant_access(sid.get(), dir / "work", AccessLevel::ReadWrite));
  auto denied = deny_access(sid.get(), dir / "work");
  ASSERT_TRUE(denied);
  EXPECT_FALSE(denied->was_protected);
  EXPECT_TRUE(stored("work").starts_with("D:P" + entry("D;OICI;0x1201bf")));
  EXPECT_EQ(stored("work").find("(A;OICI;0x1301bf"), std::string::npos);
  ASSERT_TRUE(deny_access(sid.get(), dir / "work/file.txt"));
  EXPECT_TRUE(stored("work/file.txt").starts_with("D:P" + entry("D;;0x1201bf")));
}

// Revoking a deny leaves no entry of the SID (the platform's revoke keeps deny entries) and the
// object inheriting again, unless it was protected before the deny.
TEST_F(AclEditing, RevokingADenyRestoresTheObjectAsItWas) {
  const std::string before = effective("work");
  ASSERT_TRUE(deny_access(sid.get(), dir / "work"));
  ASSERT_TRUE(revoke_access(sid.get(), dir / "work"));
  EXPECT_EQ(stored("work"), "");
  EXPECT_EQ(effective("work"), before);

  winsim::set_stored_sddl(dir / "work", owner_choice);
  auto denied = deny_access(sid.get(), dir / "work");
  ASSERT_TRUE(denied);
  EXPECT_TRUE(denied->was_protected);
  ASSERT_TRUE(revoke_access(sid.get(), dir / "work", Protection::KeepProtected));
  EXPECT_EQ(stored("work"), owner_choice);
}

TEST_F(AclEditing, RevokeAlwaysWritesAndUnprotects) {
  winsim::set_stored_sddl(dir / "work", owner_choice);
  ASSERT_TRUE(revoke_access(sid.get(), dir / "work"));
  EXPECT_EQ(winsim::count_calls("SetNamedSecurityInfoW"), 1u);
  EXPECT_EQ(stored("work"), "D:(A;OICI;0x1f01ff;;;S-1-5-18)");
}

TEST_F(AclEditing, MissingPathsReportFileAndPathNotFound) {
  using Edit = std::function<std::expected<void, HresultError>(const std::string&)>;
  const Edit edits[] = {
      [&](const std::string& p) { return grant_access(sid.get(), p, AccessLevel::Read); },
      [&](const std::string& p) -> std::expected<void, HresultError> {
        if (auto denied = deny_access(sid.get(), p); !denied)
          return std::unexpected(denied.error());
        return {};
      },
      [&](const std::string& p) { return revoke_access(sid.get(), p); },
  };
  for (const Edit& edit : edits) {
    EXPECT_EQ(edit(dir / "missing").error().code(), 0x80070002u);
    EXPECT_EQ(edit(dir / "missing\\below").error().code(), 0x80070003u);
  }
  EXPECT_EQ(grant_traverse(sid.get(), dir / "missing").error().display(),
            "GetFileSecurityW returned needed=0 (0xFFFFFFFF)");
}

TEST_F(AclEditing, AllApplicationPackagesIsFoundInAnyEntry) {
  dir.make_dir("parent/child");
  winsim::set_stored_sddl(dir / "work", "D:(A;;0x1;;;S-1-15-2-1)");
  winsim::set_stored_sddl(dir / "work/file.txt", "D:(D;;0x1;;;S-1-15-2-1)");
  winsim::set_stored_sddl(dir / "parent", "D:(A;OICI;0x1200a9;;;S-1-15-2-1)");
  EXPECT_TRUE(has_all_app_packages_ace(dir / "work"));
  EXPECT_TRUE(has_all_app_packages_ace(dir / "work/file.txt"));
  EXPECT_TRUE(has_all_app_packages_ace(dir / "parent/child"));
  EXPECT_FALSE(has_all_app_packages_ace(dir.path()));
  EXPECT_FALSE(has_all_app_packages_ace(dir / "missing"));
}

// Each platform call of an edit failing alone: the error comes back, nothing leaks, and the
// object is as it was.
TEST_F(AclEditing, FailedEditsLeaveNothingChanged) {
  const std::function<bool()> edits[] = {
      [&] { return grant_access(sid.get(), dir / "work", AccessLevel::ReadWrite).has_value(); },
      [&] { return deny_access(sid.get(), dir / "work").has_value(); },
      [&] { return revoke_access(sid.get(), dir / "work").has_value(); },
      [&] { return grant_traverse(sid.get(), dir / "work").has_value(); },
  };
  const std::vector<std::string> held = winsim::leaks();  // what the fixture holds
  for (const auto& edit : edits) {
    fresh_machine();
    ASSERT_TRUE(edit());
    const std::size_t calls = winsim::faultable_calls();
    for (std::size_t n = 1; n <= calls; ++n) {
      fresh_machine();
      winsim::fail_call_number(n, ERROR_ACCESS_DENIED);
      if (!edit()) {
        EXPECT_EQ(stored("work"), "") << "call " << n << " failed";
      }
      winsim::clear_faults();
      EXPECT_EQ(winsim::leaks(), held) << "call " << n << " leaked";
    }
  }
}

}  // namespace
}  // namespace tavo

// The ACL edits against winsim's security model, asserted on the objects' stored entries.
#include "acl/acl.h"

#include <gtest/gtest.h>
#include <winsim/testing.h>

#include <functional>

#include "path_grant/all_app_packages.h"
#include "support/faults.h"
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
  EXPECT_EQ(winsim::count_calls("SetSecurityInfo"), 2u);
  EXPECT_EQ(winsim::count_calls("SetKernelObjectSecurity"), 2u);
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
  EXPECT_EQ(winsim::count_calls("SetSecurityInfo"), 3u);

  winsim::set_stored_sddl(dir / "work", owner_choice);  // a grant keeps protection
  ASSERT_TRUE(grant_access(sid.get(), dir / "work", AccessLevel::Read));
  EXPECT_EQ(stored("work"), "D:P" + entry("A;OICI;0x1200a9") + "(A;OICI;0x1f01ff;;;S-1-5-18)");
}

// A grant leaves no deny of the SID beside it, whether or not SET_ACCESS takes deny entries away.
TEST_F(AclEditing, AGrantTakesTheSidsDenyAway) {
  ASSERT_TRUE(deny_access(sid.get(), dir / "work"));
  ASSERT_TRUE(grant_access(sid.get(), dir / "work", AccessLevel::Read));
  EXPECT_EQ(stored("work").find(entry("D;OICI;0x1201bf")), std::string::npos) << stored("work");
  EXPECT_NE(stored("work").find(entry("A;OICI;0x1200a9")), std::string::npos);
}

// One protected write: no moment when the object is protected without its deny.
TEST_F(AclEditing, DenyProtectsAndReplacesTheSidsEntriesInOneWrite) {
  const std::string inherited = effective("work").substr(2);  // what the root passes on
  ASSERT_TRUE(grant_access(sid.get(), dir / "work", AccessLevel::ReadWrite));
  ASSERT_TRUE(deny_access(sid.get(), dir / "work"));
  EXPECT_EQ(testing::keys_of("SetSecurityInfo").size(), 2u);
  EXPECT_EQ(stored("work"), "D:P" + entry("D;OICI;0x1201bf") + inherited);
  ASSERT_TRUE(deny_access(sid.get(), dir / "work/file.txt"));
  EXPECT_TRUE(stored("work/file.txt").starts_with("D:P" + entry("D;;0x1201bf")));
}

// A recorder that keeps what the edits tell it.
struct Recorded final : ChangeRecorder {
  void before_write(DaclChange change) override { changes.push_back(std::move(change)); }
  void write_failed() override { changes.pop_back(); }
  std::vector<DaclChange> changes;
};

// Restoring puts back the SID's entries and only the protection the edit changed; other
// trustees' entries made since stay, and undoing last first ends where it began.
TEST_F(AclEditing, RestoringAnEditPutsBackWhatItOverwrote) {
  SandboxSid other = testing::make_sid(testing::kOtherSid);
  const std::string other_entry = "(A;OICI;0x1200a9;;;" + std::string(testing::kOtherSid) + ")";
  auto undo_all = [&](Recorded& recorded) {
    for (auto it = recorded.changes.rbegin(); it != recorded.changes.rend(); ++it)
      ASSERT_TRUE(restore_entries(sid.get(), *it));
  };

  Recorded twice;  // one folder denied under two spellings, another SID granted in between
  ASSERT_TRUE(grant_access(sid.get(), dir / "work", AccessLevel::Read, &twice));
  ASSERT_TRUE(deny_access(sid.get(), dir / "work", &twice));
  ASSERT_TRUE(grant_access(other.get(), dir / "work", AccessLevel::Read));
  ASSERT_TRUE(deny_access(sid.get(), dir / "work/../work", &twice));
  ASSERT_EQ(twice.changes.size(), 3u);
  EXPECT_EQ(twice.changes[2].object, twice.changes[1].object);
  EXPECT_EQ(twice.changes[2].entries,
            (std::vector<SidEntry>{{ACCESS_DENIED_ACE_TYPE, 3, kDenyMask}}));
  EXPECT_TRUE(twice.changes[2].was_protected && !twice.changes[2].set_protection());
  undo_all(twice);
  EXPECT_EQ(stored("work"), "D:" + other_entry);

  // A protected object keeps its protection; the SID's deny that stood before stands again.
  const std::string owner_deny = "D:P" + entry("D;OICI;0x1201bf") + "(A;OICI;0x1f01ff;;;S-1-5-18)";
  winsim::set_stored_sddl(dir / "work", owner_deny);
  Recorded protected_object;
  ASSERT_TRUE(grant_access(sid.get(), dir / "work", AccessLevel::ReadWrite, &protected_object));
  ASSERT_TRUE(deny_access(sid.get(), dir / "work", &protected_object));
  undo_all(protected_object);
  EXPECT_EQ(stored("work"), owner_deny);

  // Nothing to put back: no write.
  const std::size_t writes = winsim::count_calls("SetSecurityInfo");
  ASSERT_TRUE(restore_entries(sid.get(), protected_object.changes.front()));
  EXPECT_EQ(winsim::count_calls("SetSecurityInfo"), writes);
}

// Two runs of different SIDs overlapping on one folder, ending in either order: each takes back
// its own entries, the protection goes with the deny that set it, and the folder ends as it was.
TEST_F(AclEditing, OverlappingRunsEachTakeBackTheirOwn) {
  SandboxSid other = testing::make_sid(testing::kOtherSid);
  const std::string before = effective("work");
  for (const bool first_ends_first : {true, false}) {
    SCOPED_TRACE(first_ends_first ? "first ends first" : "second ends first");
    Recorded first, second;
    ASSERT_TRUE(deny_access(sid.get(), dir / "work", &first));
    ASSERT_TRUE(grant_access(other.get(), dir / "work", AccessLevel::Read, &second));
    ASSERT_TRUE(deny_access(other.get(), dir / "work", &second));
    auto undo = [](PSID who, Recorded& log) {
      for (auto it = log.changes.rbegin(); it != log.changes.rend(); ++it)
        ASSERT_TRUE(restore_entries(who, *it));
    };
    if (first_ends_first) {
      undo(sid.get(), first);
      EXPECT_EQ(stored("work").find(kTestSid), std::string::npos);
      EXPECT_TRUE(stored("work").starts_with("D:(D;OICI;0x1201bf;;;" +
                                             std::string(testing::kOtherSid)));  // still denied
      undo(other.get(), second);
    } else {
      undo(other.get(), second);
      EXPECT_TRUE(stored("work").starts_with("D:P" + entry("D;OICI;0x1201bf")));
      undo(sid.get(), first);
    }
    EXPECT_EQ(stored("work"), "");
    EXPECT_EQ(effective("work"), before);
  }
}

// A failed write is no change: the recorder is told to forget it.
TEST_F(AclEditing, AFailedWriteLeavesNoRecord) {
  Recorded recorded;
  winsim::fail_next_call("SetSecurityInfo", "", ERROR_ACCESS_DENIED);
  EXPECT_FALSE(deny_access(sid.get(), dir / "work", &recorded));
  ASSERT_TRUE(grant_access(sid.get(), dir / "work", AccessLevel::Read, &recorded));
  ASSERT_TRUE(grant_access(sid.get(), dir / "work", AccessLevel::Read, &recorded));  // no write
  ASSERT_EQ(recorded.changes.size(), 1u);
  EXPECT_EQ(recorded.changes[0].kind, ChangeKind::Grant);
  EXPECT_EQ(recorded.changes[0].path, dir / "work");
}

// Cleanup's revoke takes the SID's allow and deny entries away and leaves protection alone:
// inheriting again could widen access to an object its owner protected.
TEST_F(AclEditing, RevokeAlwaysWritesAndKeepsProtection) {
  winsim::set_stored_sddl(dir / "work", "D:P" + entry("D;OICI;0x1201bf") + entry("A;OICI;0x1") +
                                            "(A;OICI;0x1f01ff;;;S-1-5-18)");
  ASSERT_TRUE(revoke_access(sid.get(), dir / "work"));
  EXPECT_EQ(stored("work"), owner_choice);
  ASSERT_TRUE(revoke_access(sid.get(), dir / "work"));
  EXPECT_EQ(winsim::count_calls("SetSecurityInfo"), 2u);
  EXPECT_EQ(stored("work"), owner_choice);
}

TEST_F(AclEditing, MissingPathsReportFileAndPathNotFound) {
  using Edit = std::function<std::expected<void, HresultError>(const std::string&)>;
  const Edit edits[] = {
      [&](const std::string& p) { return grant_access(sid.get(), p, AccessLevel::Read); },
      [&](const std::string& p) { return deny_access(sid.get(), p); },
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

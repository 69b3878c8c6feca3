// The ACL edits against winsim's security model, asserted on the objects' stored entries.
#include "acl/acl.h"

#include <gtest/gtest.h>
#include <winsim/testing.h>

#include <functional>

#include "path_grant/all_app_packages.h"
#include "support/machine.h"
#include "support/sids.h"
#include "support/temp_dir.h"

namespace tavo {
namespace {

using testing::kOtherSid;
using testing::kTestSid;

std::string entry(std::string_view type_flags_mask, std::string_view sid = kTestSid) {
  return "(" + std::string(type_flags_mask) + ";;;" + std::string(sid) + ")";
}

// A recorder that keeps what the edits tell it.
struct Recorded final : ChangeRecorder {
  void before_write(DaclChange change) override { changes.push_back(std::move(change)); }
  void write_failed() override { changes.pop_back(); }
  std::vector<DaclChange> changes;
};

class AclEditing : public testing::MachineTest {
 protected:
  void SetUp() override { dir.write("work/file.txt", "x"); }
  std::string stored(std::string_view name) const { return winsim::stored_sddl(dir / name); }
  std::string effective(std::string_view name) const { return winsim::dacl_sddl(dir / name); }
  std::size_t writes() const {
    return winsim::count_calls("SetSecurityInfo") + winsim::count_calls("SetKernelObjectSecurity");
  }
  // Undoes the recorded changes, last first.
  void undo(PSID who, Recorded& log) const {
    for (auto it = log.changes.rbegin(); it != log.changes.rend(); ++it)
      ASSERT_TRUE(restore_entries(who, *it));
  }

  testing::TempDir dir;
  SandboxSid sid = testing::make_sid();
  SandboxSid other = testing::make_sid(kOtherSid);
  const std::string owner_choice = "D:P(A;OICI;0x1f01ff;;;S-1-5-18)";
};

// A grant leaves the SID exactly one entry, deny included, which reaches children and keeps the
// object's protection. One already in place is no write: the platform would move a re-set entry
// in front of another SID's, and a built ACL carries unused space.
TEST_F(AclEditing, AGrantLeavesTheSidOneEntryAndARepeatWritesNothing) {
  const std::string inherited = effective("work").substr(2);  // what the root passes on
  ASSERT_TRUE(deny_access(sid.get(), dir / "work"));
  ASSERT_TRUE(grant_access(sid.get(), dir / "work", AccessLevel::Read));
  ASSERT_TRUE(grant_access(sid.get(), dir / "work", AccessLevel::ReadWrite));
  EXPECT_EQ(stored("work"), "D:P" + entry("A;OICI;0x1301bf") + inherited);
  EXPECT_NE(effective("work/file.txt").find(entry("A;ID;0x1301bf")), std::string::npos);

  dir.write("passage/file.txt", "x");
  ASSERT_TRUE(grant_access(other.get(), dir / "work", AccessLevel::ReadWrite));
  const std::size_t before = writes();
  for (int round = 0; round < 2; ++round) {
    ASSERT_TRUE(grant_access(sid.get(), dir / "work", AccessLevel::ReadWrite));
    ASSERT_TRUE(grant_access(other.get(), dir / "work", AccessLevel::ReadWrite));
    ASSERT_TRUE(grant_traverse(sid.get(), dir / "passage"));
    ASSERT_TRUE(grant_traverse(other.get(), dir / "passage"));
  }
  EXPECT_EQ(writes(), before + 2);  // the two traversal entries
  EXPECT_NE(stored("passage").find(entry("A;;0x1200a9")), std::string::npos);
  EXPECT_EQ(effective("passage/file.txt").find(kTestSid), std::string::npos);  // nothing below
}

// One protected write: no moment when the object is protected without its deny. A file's deny
// has no inheritance flags.
TEST_F(AclEditing, DenyProtectsAndReplacesTheSidsEntriesInOneWrite) {
  const std::string inherited = effective("work").substr(2);  // what the root passes on
  ASSERT_TRUE(grant_access(sid.get(), dir / "work", AccessLevel::ReadWrite));
  ASSERT_TRUE(deny_access(sid.get(), dir / "work"));
  EXPECT_EQ(writes(), 2u);
  EXPECT_EQ(stored("work"), "D:P" + entry("D;OICI;0x1201bf") + inherited);
  ASSERT_TRUE(deny_access(sid.get(), dir / "work/file.txt"));
  EXPECT_TRUE(stored("work/file.txt").starts_with("D:P" + entry("D;;0x1201bf")));
}

// Restoring puts back the SID's entries and only the protection the edit changed; other
// trustees' entries made since stay, and undoing last first ends where it began.
TEST_F(AclEditing, RestoringAnEditPutsBackWhatItOverwrote) {
  Recorded twice;  // one folder denied under two spellings, another SID granted in between
  ASSERT_TRUE(grant_access(sid.get(), dir / "work", AccessLevel::Read, &twice));
  ASSERT_TRUE(deny_access(sid.get(), dir / "work", &twice));
  ASSERT_TRUE(grant_access(other.get(), dir / "work", AccessLevel::Read));
  ASSERT_TRUE(deny_access(sid.get(), dir / "work/../work", &twice));
  ASSERT_EQ(twice.changes.size(), 3u);
  EXPECT_EQ(twice.changes[2].object, twice.changes[1].object);
  EXPECT_TRUE(twice.changes[2].was_protected && !twice.changes[2].set_protection());
  undo(sid.get(), twice);
  EXPECT_EQ(stored("work"), "D:" + entry("A;OICI;0x1200a9", kOtherSid));

  // A protected object keeps its protection; the SID's deny that stood before stands again.
  const std::string owner_deny = "D:P" + entry("D;OICI;0x1201bf") + owner_choice.substr(3);
  winsim::set_stored_sddl(dir / "work", owner_deny);
  Recorded protected_object;
  ASSERT_TRUE(grant_access(sid.get(), dir / "work", AccessLevel::ReadWrite, &protected_object));
  ASSERT_TRUE(deny_access(sid.get(), dir / "work", &protected_object));
  undo(sid.get(), protected_object);
  EXPECT_EQ(stored("work"), owner_deny);
  const std::size_t before = writes();  // nothing left to put back: no write
  ASSERT_TRUE(restore_entries(sid.get(), protected_object.changes.front()));
  winsim::set_stored_sddl(dir / "work", "");
  ASSERT_TRUE(restore_entries(sid.get(), twice.changes.front()));
  EXPECT_EQ(writes(), before);
}

// Two runs of different SIDs overlapping on one folder, ending in either order: each takes back
// its own entries, the protection goes with the deny that set it, and the folder ends as it was.
TEST_F(AclEditing, OverlappingRunsEachTakeBackTheirOwn) {
  const std::string before = effective("work");
  for (const bool first_ends_first : {true, false}) {
    SCOPED_TRACE(first_ends_first ? "first ends first" : "second ends first");
    Recorded first, second;
    ASSERT_TRUE(deny_access(sid.get(), dir / "work", &first));
    ASSERT_TRUE(grant_access(other.get(), dir / "work", AccessLevel::Read, &second));
    ASSERT_TRUE(deny_access(other.get(), dir / "work", &second));
    if (first_ends_first) {
      undo(sid.get(), first);
      EXPECT_TRUE(stored("work").starts_with("D:" + entry("D;OICI;0x1201bf", kOtherSid)));
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

// Cleanup's revoke takes the SID's allow and deny entries away and leaves protection alone:
// inheriting again could widen access to an object its owner protected.
TEST_F(AclEditing, RevokeTakesEveryEntryOfTheSidAndKeepsProtection) {
  winsim::set_stored_sddl(dir / "work", "D:P" + entry("D;OICI;0x1201bf") + entry("A;OICI;0x1") +
                                            owner_choice.substr(3));
  ASSERT_TRUE(revoke_access(sid.get(), dir / "work"));
  EXPECT_EQ(stored("work"), owner_choice);
}

TEST_F(AclEditing, AllApplicationPackagesIsFoundInAnyEntry) {
  dir.make_dir("parent/child");
  winsim::set_stored_sddl(dir / "work", "D:(A;;0x1;;;S-1-15-2-1)");
  winsim::set_stored_sddl(dir / "work/file.txt", "D:(D;;0x1;;;S-1-15-2-1)");
  winsim::set_stored_sddl(dir / "parent", "D:(A;OICI;0x1200a9;;;S-1-15-2-1)");
  for (const char* found : {"work", "work/file.txt", "parent/child"})
    EXPECT_TRUE(has_all_app_packages_ace(dir / found)) << found;
  EXPECT_FALSE(has_all_app_packages_ace(dir.path()));
  EXPECT_FALSE(has_all_app_packages_ace(dir / "missing"));
}

// Each platform call of an edit failing alone, refused or in use: a failed edit leaves the object
// as it was and no record; one that reports success made its change, a directory's deny with
// its inheritance (without it, the folder's contents would stay readable). Nothing leaks.
TEST_F(AclEditing, EachEditSucceedsWholeOrChangesNothing) {
  const std::string granted = "D:" + entry("A;OICI;0x1301bf");
  struct Edit {
    const char* name;
    std::string before;
    std::function<bool(Recorded&)> act;
    std::string after;  // what the stored DACL holds after a success
  };
  const Edit edits[] = {
      {"grant", "",
       [&](Recorded& r) {
         return grant_access(sid.get(), dir / "work", AccessLevel::ReadWrite, &r).has_value();
       },
       granted},
      {"deny", "",
       [&](Recorded& r) { return deny_access(sid.get(), dir / "work", &r).has_value(); },
       "D:P" + entry("D;OICI;0x1201bf")},
      {"revoke", granted,
       [&](Recorded&) { return revoke_access(sid.get(), dir / "work").has_value(); }, ""},
      {"traverse", "",
       [&](Recorded&) { return grant_traverse(sid.get(), dir / "work").has_value(); },
       "D:" + entry("A;;0x1200a9")},
  };
  const std::vector<std::string> held = winsim::leaks();  // what the fixture holds
  for (const Edit& edit : edits) {
    fresh_machine();
    winsim::set_stored_sddl(dir / "work", edit.before);
    Recorded recorded;
    ASSERT_TRUE(edit.act(recorded));
    const std::size_t calls = winsim::faultable_calls();
    for (DWORD error : {DWORD{ERROR_ACCESS_DENIED}, DWORD{ERROR_SHARING_VIOLATION}}) {
      for (std::size_t n = 1; n <= calls; ++n) {
        SCOPED_TRACE(std::string(edit.name) + ": call " + std::to_string(n) + " failing with " +
                     std::to_string(error));
        fresh_machine();
        winsim::set_stored_sddl(dir / "work", edit.before);
        winsim::fail_call_number(n, error);
        Recorded record;
        const bool done = edit.act(record);
        winsim::clear_faults();
        if (done) {
          EXPECT_TRUE(edit.after.empty() ? stored("work").empty()
                                         : stored("work").find(edit.after) != std::string::npos)
              << stored("work");
          // A change made is a change recorded, or its run could not take it back.
          EXPECT_EQ(record.changes.size(), recorded.changes.size());
        } else {
          EXPECT_EQ(stored("work"), edit.before);
          EXPECT_TRUE(record.changes.empty());
        }
        EXPECT_EQ(winsim::leaks(), held);
      }
    }
  }
}

}  // namespace
}  // namespace tavo

// The ACL edits against winsim's security model, asserted on the objects' stored entries.
#include "acl/acl.h"

#include <gtest/gtest.h>
#include <winsim/testing.h>

#include <functional>

#include "acl/dacl.h"
#include "acl/dacl_object.h"
#include "support/faults.h"
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

struct Recorded final : ChangeRecorder {
  void before_write(DaclChange change) override { changes.push_back(std::move(change)); }
  void write_failed() override { changes.pop_back(); }
  void written(DaclObject object) override { objects.push_back(std::move(object)); }
  // Takes change `i` back through the object its edit held.
  bool restore(PSID who, std::size_t i) const {
    DaclEditLock lock;
    return restore_entries(who, changes[i], objects[i], lock.hold()).has_value();
  }
  std::vector<DaclChange> changes;
  std::vector<DaclObject> objects;  // each change's, in the same order
};

class AclEditing : public testing::MachineTest {
 protected:
  void SetUp() override {
    dir.write("work/file.txt", "x");
    inherited = winsim::dacl_sddl(dir / "work").substr(2);  // what the root passes on
  }
  std::string stored(std::string_view name) const { return winsim::stored_sddl(dir / name); }
  std::size_t writes() const {
    return winsim::count_calls("SetSecurityInfo") + winsim::count_calls("SetKernelObjectSecurity");
  }
  void undo(PSID who, Recorded& log) const {
    for (std::size_t i = log.changes.size(); i-- > 0;)
      ASSERT_TRUE(log.restore(who, i));
  }

  testing::TempDir dir;
  SandboxSid sid = testing::make_sid();
  SandboxSid other = testing::make_sid(kOtherSid);
  std::string inherited;
  DaclEditLock lock;                                         // the test's, as a run has one
  const std::string owner = "(A;OICI;0x1f01ff;;;S-1-5-18)";  // an owner's choice
};

// A grant already in place is no write, wherever it stands among other SIDs' entries (the
// platform would move a re-set entry in front of another SID's), nor needs the right to write
// one; the traversal grant leaves the folder's DACL marked auto-inherited, as it found it. A
// file's deny has no inheritance flags.
TEST_F(AclEditing, ARepeatedGrantWritesNothingAndAFilesDenyIsNotInherited) {
  dir.make_dir("passage");
  for (int round = 0; round < 2; ++round) {
    for (PSID who : {sid.get(), other.get()}) {
      ASSERT_TRUE(grant_access(who, dir / "work", AccessLevel::ReadWrite, lock.hold()));
      ASSERT_TRUE(grant_traverse(who, dir / "passage", lock.hold()));
    }
  }
  EXPECT_EQ(writes(), 4u);  // the first round's
  // The traversal grant's fresh descriptor carries the control bits of the one it read.
  auto passage = DaclObject::open_to_read(dir / "passage");
  ASSERT_TRUE(passage);
  auto security = passage->read_security();
  ASSERT_TRUE(security);
  EXPECT_EQ(kept_dacl_control(security->descriptor()), SE_DACL_AUTO_INHERITED);
  winsim::fail_next_call("CreateFileW", "work", ERROR_ACCESS_DENIED);  // no WRITE_DAC
  ASSERT_TRUE(grant_access(sid.get(), dir / "work", AccessLevel::ReadWrite, lock.hold()));
  ASSERT_TRUE(deny_access(sid.get(), dir / "work/file.txt", lock.hold()));
  EXPECT_TRUE(stored("work/file.txt").starts_with("D:P" + entry("D;;0x1f01ff")));
}

// Restoring puts back the SID's entries and only the protection the edit changed; other
// trustees' entries made since stay, and undoing last first ends where it began.
TEST_F(AclEditing, RestoringAnEditPutsBackWhatItOverwrote) {
  Recorded twice;  // denied under two spellings, another SID granted in between
  ASSERT_TRUE(grant_access(sid.get(), dir / "work", AccessLevel::Read, lock.hold(), &twice));
  ASSERT_TRUE(deny_access(sid.get(), dir / "work", lock.hold(), &twice));
  ASSERT_TRUE(grant_access(other.get(), dir / "work", AccessLevel::Read, lock.hold()));
  ASSERT_TRUE(deny_access(sid.get(), dir / "work/../work", lock.hold(), &twice));
  ASSERT_EQ(twice.changes.size(), 3u);
  EXPECT_EQ(twice.changes[2].object, twice.changes[1].object);
  // The SID's allow goes back where a grant puts it: before the other SID's.
  ASSERT_TRUE(twice.restore(sid.get(), 2));
  ASSERT_TRUE(twice.restore(sid.get(), 1));
  EXPECT_EQ(stored("work"), "D:" + entry("A;OICI;0x1200a9") + entry("A;OICI;0x1200a9", kOtherSid));
  ASSERT_TRUE(twice.restore(sid.get(), 0));
  EXPECT_EQ(stored("work"), "D:" + entry("A;OICI;0x1200a9", kOtherSid));

  // A protected object keeps its protection and its copies of inherited entries; the SID's deny
  // that stood before stands again.
  const std::string owner_deny = "D:P" + entry("D;OICI;0x1f01ff") + owner + inherited;
  winsim::set_stored_sddl(dir / "work", owner_deny);
  Recorded protected_object;
  ASSERT_TRUE(grant_access(sid.get(), dir / "work", AccessLevel::ReadWrite, lock.hold(),
                           &protected_object));
  ASSERT_TRUE(deny_access(sid.get(), dir / "work", lock.hold(), &protected_object));
  undo(sid.get(), protected_object);
  EXPECT_EQ(stored("work"), owner_deny);
  const std::size_t before = writes();  // nothing left to put back: no write
  ASSERT_TRUE(protected_object.restore(sid.get(), 0));
  winsim::set_stored_sddl(dir / "work", "");
  ASSERT_TRUE(twice.restore(sid.get(), 0));
  EXPECT_EQ(writes(), before);
}

// Two runs of different SIDs overlapping on one folder, ending in either order: each takes back
// its own entries, the protection goes with the deny that set it, and the folder ends as it was.
TEST_F(AclEditing, OverlappingRunsEachTakeBackTheirOwn) {
  const PSID who[] = {sid.get(), other.get()};
  for (const int first_to_end : {0, 1}) {
    SCOPED_TRACE(first_to_end);
    Recorded runs[2];
    ASSERT_TRUE(deny_access(sid.get(), dir / "work", lock.hold(), &runs[0]));
    ASSERT_TRUE(grant_access(other.get(), dir / "work", AccessLevel::Read, lock.hold(), &runs[1]));
    ASSERT_TRUE(deny_access(other.get(), dir / "work", lock.hold(), &runs[1]));
    undo(who[first_to_end], runs[first_to_end]);
    EXPECT_TRUE(stored("work").starts_with(first_to_end == 0
                                               ? "D:" + entry("D;OICI;0x1f01ff", kOtherSid)
                                               : "D:P" + entry("D;OICI;0x1f01ff")));
    undo(who[1 - first_to_end], runs[1 - first_to_end]);
    EXPECT_EQ(stored("work"), "");
  }
}

// Each edit replaces the SID's entries in one write; only a deny changes the protection (revoke
// keeps an owner's: inheriting again could widen access). With each platform call failing alone,
// an edit changes all and records it, or changes nothing; the edit lock is never a reason to fail.
TEST_F(AclEditing, EachEditSucceedsWholeOrChangesNothing) {
  using Act = std::function<bool(Recorded&)>;
  const std::string deny = entry("D;OICI;0x1f01ff"), allow = entry("A;OICI;0x1301bf");
  const std::tuple<const char*, std::string, Act, std::string> edits[] = {
      {"grant", "D:P" + deny + owner,
       [&](Recorded& r) {
         return grant_access(sid.get(), dir / "work", AccessLevel::ReadWrite, DaclEditLock().hold(),
                             &r)
             .has_value();
       },
       "D:P" + allow + owner},
      {"deny", "D:" + allow,
       [&](Recorded& r) {
         return deny_access(sid.get(), dir / "work", DaclEditLock().hold(), &r).has_value();
       },
       "D:P" + deny + inherited},
      {"revoke", "D:P" + deny + entry("A;OICI;0x1") + owner,
       [&](Recorded&) {
         return revoke_access(sid.get(), dir / "work", DaclEditLock().hold()).has_value();
       },
       "D:P" + owner},
      {"traverse", "",
       [&](Recorded&) {
         return grant_traverse(sid.get(), dir / "work", DaclEditLock().hold()).has_value();
       },
       "D:" + entry("A;;0x1200a9")},
  };
  const std::vector<std::string> held = winsim::leaks();  // what the fixture holds
  for (const auto& [name, before, act, after] : edits) {
    SCOPED_TRACE(name);
    fresh_machine();
    winsim::set_stored_sddl(dir / "work", before);
    winsim::abandon_mutex("Global\\tavo-sandbox-dacl-edit");  // taken over, and released
    Recorded recorded;
    ASSERT_TRUE(act(recorded));
    EXPECT_EQ(stored("work"), after);
    EXPECT_EQ(writes(), 1u);
    EXPECT_EQ(winsim::count_calls("ReleaseMutex"), 1u);
    recorded.objects.clear();
    const std::vector<std::string> calls = testing::faultable_functions();
    for (DWORD error : {DWORD{ERROR_ACCESS_DENIED}, DWORD{ERROR_SHARING_VIOLATION}}) {
      for (std::size_t n = 1; n <= calls.size(); ++n) {
        SCOPED_TRACE(calls[n - 1] + " failing with " + std::to_string(error));
        fresh_machine();
        winsim::set_stored_sddl(dir / "work", before);
        winsim::fail_call_number(n, error);
        Recorded record;
        const bool done = act(record);
        winsim::clear_faults();
        const bool of_the_lock = calls[n - 1].find("Mutex") != std::string::npos ||
                                 calls[n - 1] == "WaitForSingleObject";
        EXPECT_TRUE(done || !of_the_lock);
        EXPECT_EQ(stored("work"), done ? after : before);
        // A change made is a change recorded, or its run could not take it back.
        EXPECT_EQ(record.changes.size(), done ? recorded.changes.size() : 0u);
        EXPECT_EQ(record.objects.size(), record.changes.size());
        record.objects.clear();
        EXPECT_EQ(winsim::leaks(), held);
      }
    }
  }
}

}  // namespace
}  // namespace tavo

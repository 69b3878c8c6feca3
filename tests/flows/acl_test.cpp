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
  void deny_stands(DaclChange change, DaclObject) override { stood.push_back(std::move(change)); }
  // Takes change `i` back through the object its edit held.
  bool restore(PSID who, std::size_t i) const {
    return (changes[i].kind == ChangeKind::DenyEntry
                ? remove_deny_entry(who, changes[i], objects[i], DaclEditLock().hold())
                : restore_entries(who, changes[i], objects[i], DaclEditLock().hold()))
        .has_value();
  }
  std::vector<DaclChange> changes;
  std::vector<DaclObject> objects;  // each change's, in the same order
  std::vector<DaclChange> stood;    // denies found standing: nothing written
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
// one; the traversal grant leaves the folder's DACL marked auto-inherited, as it found it.
TEST_F(AclEditing, AGrantInPlaceIsNoWrite) {
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
}

// A file's deny has no inheritance flags and leaves the file inheriting.
TEST_F(AclEditing, AFilesDenyCarriesNoInheritance) {
  ASSERT_TRUE(deny_access(sid.get(), dir / "work/file.txt", lock.hold()));
  EXPECT_EQ(stored("work/file.txt"), "D:" + entry("D;;0x1f01ff"));
}

// A deny is one entry of its own, placed first beside the SID's other entries, the protection
// left as it is; a deny that stands is no write. Taking it back removes exactly that entry: an
// entry of the SID that stood before, and everything other trustees changed meanwhile, stay.
TEST_F(AclEditing, ADenyIsAnEntryOfItsOwnTakenBackAlone) {
  const std::string deny = entry("D;OICI;0x1f01ff");
  const std::string read = entry("A;OICI;0x1200a9"),
                    other_read = entry("A;OICI;0x1200a9", kOtherSid);
  for (const std::string& before :
       {"D:" + read + other_read, "D:P" + entry("D;OICI;0x1201bf") + owner + inherited}) {
    SCOPED_TRACE(before);
    winsim::set_stored_sddl(dir / "work", before);
    const std::string tail = before.substr(before.find('('));
    const std::string prefix = before.substr(0, before.find('('));
    Recorded run;
    ASSERT_TRUE(deny_access(sid.get(), dir / "work", lock.hold(), &run));
    EXPECT_EQ(stored("work"), prefix + deny + tail);
    const std::size_t writes_before = writes();
    ASSERT_TRUE(deny_access(sid.get(), dir / "work/../work", lock.hold(), &run));
    EXPECT_EQ(writes(), writes_before);
    ASSERT_EQ(run.changes.size(), 1u);
    ASSERT_EQ(run.stood.size(), 1u);
    EXPECT_EQ(run.stood[0].identity, run.changes[0].identity);
    EXPECT_EQ(run.stood[0].object, run.changes[0].object);
    // Another trustee's edit meanwhile stays after the undo.
    ASSERT_TRUE(grant_access(other.get(), dir / "work", AccessLevel::ReadWrite, lock.hold()));
    ASSERT_TRUE(run.restore(sid.get(), 0));
    const std::string other_rw = entry("A;OICI;0x1301bf", kOtherSid);
    EXPECT_EQ(stored("work"),
              before.starts_with("D:P")
                  ? prefix + entry("D;OICI;0x1201bf") + other_rw + tail.substr(tail.find(owner))
                  : "D:" + other_rw + read);
    // Nothing left to take away: no write.
    const std::size_t writes_after = writes();
    ASSERT_TRUE(run.restore(sid.get(), 0));
    EXPECT_EQ(writes(), writes_after);
  }
}

// Two SIDs deny one folder and grant below it, ending in either order: each takes back its own
// entry, the protection never changes, and the folder ends as it was, inheriting.
TEST_F(AclEditing, OverlappingDeniesOfTwoSidsEachTakeBackTheirOwn) {
  const PSID who[] = {sid.get(), other.get()};
  for (const int first_to_end : {0, 1}) {
    SCOPED_TRACE(first_to_end);
    Recorded runs[2];
    ASSERT_TRUE(deny_access(sid.get(), dir / "work", lock.hold(), &runs[0]));
    ASSERT_TRUE(grant_access(other.get(), dir / "work", AccessLevel::Read, lock.hold(), &runs[1]));
    ASSERT_TRUE(deny_access(other.get(), dir / "work", lock.hold(), &runs[1]));
    undo(who[first_to_end], runs[first_to_end]);
    EXPECT_EQ(stored("work"), first_to_end == 0 ? "D:" + entry("D;OICI;0x1f01ff", kOtherSid) +
                                                      entry("A;OICI;0x1200a9", kOtherSid)
                                                : "D:" + entry("D;OICI;0x1f01ff"));
    undo(who[1 - first_to_end], runs[1 - first_to_end]);
    EXPECT_EQ(stored("work"), "");
  }
}

// Each edit is one write and none changes the protection (revoke keeps an owner's: inheriting
// again could widen access). With each platform call failing alone,
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
       "D:" + deny + allow},
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

// Loopback exemption against winsim's machine-wide list: what is kept, what is written, how a
// concurrent writer is met, and the system functions it and the profiles need, looked up at first
// use. The administrative fault sweep fails each of its calls.
#include "sandbox_profile/loopback.h"

#include <gtest/gtest.h>
#include <winsim/testing.h>

#include <utility>
#include <vector>

#include "sandbox_profile/exempt_list.h"
#include "sandbox_profile/profiles.h"
#include "support/machine.h"
#include "support/sids.h"

namespace tavo {
namespace {

using Entries = std::vector<std::pair<std::string, DWORD>>;

const std::string kOurs = "S-1-15-2-11-22-33-44-55-66-77";
const std::string kOtherA = "S-1-15-2-1000-2000-3000-4000-5000-6000-7000";
const std::string kOtherB = "S-1-15-2-9-8-7-6-5-4-3";
const std::string kPool[] = {"S-1-15-2-100-0-0-0-0-0-1", "S-1-15-2-100-0-0-0-0-0-2",
                             "S-1-15-2-100-0-0-0-0-0-3"};

// The failure's own message, without its code; "" for a success.
std::string message_of(const std::expected<void, HresultError>& result) {
  if (result) return "";
  const std::string text = result.error().display();
  return text.substr(0, text.rfind(" ("));
}

class Loopback : public testing::MachineTest {
 protected:
  void SetUp() override { forget_network_isolation_functions(); }
  void TearDown() override { forget_profile_functions(); }
  std::string exempt_ours() { return message_of(exempt_loopback(ours.get())); }

  SandboxSid ours = testing::make_sid(kOurs);
};

// Our entry goes after other software's, once, and is looked for after the write: a write that
// another writer undid is made once more, and a second loss is a failure.
TEST_F(Loopback, OurEntryIsAddedOnceAfterOtherSoftwaresAndCheckedAfterTheWrite) {
  // From the list `before`, with `lost` writes undone by another writer and the next call of
  // `failing` failing: the list after, the failure's message and the number of writes.
  auto expect = [&](const char* what, const Entries& before, std::size_t lost, const char* failing,
                    const Entries& after, const std::string& message, std::size_t writes) {
    SCOPED_TRACE(what);
    fresh_machine();
    winsim::set_loopback_list(before);
    winsim::lose_loopback_writes(lost);
    if (*failing) winsim::fail_next_call(failing, "", ERROR_ACCESS_DENIED);
    EXPECT_EQ(exempt_ours(), message);
    EXPECT_EQ(winsim::loopback_entries(), after);
    EXPECT_EQ(winsim::count_calls("NetworkIsolationSetAppContainerConfig"), writes);
  };
  expect("already exempt", {{kOtherA, 1}, {kOurs, 7}}, 0, "", {{kOtherA, 1}, {kOurs, 7}}, "", 0);
  expect("other software's entries", {{kOtherB, 0x80000000}, {kOtherA, 1}}, 0, "",
         {{kOtherB, 0x80000000}, {kOtherA, 1}, {kOurs, 0}}, "", 1);
  expect("a write lost once", {{kOtherA, 1}}, 1, "", {{kOtherA, 1}, {kOurs, 0}}, "", 2);
  // The check after the write misses the entry once; the retry's read finds it.
  expect("found on the retry", {}, 0, "EqualSid", {{kOurs, 0}}, "", 1);
  expect("a write lost twice", {{kOtherA, 1}}, 2, "", {{kOtherA, 1}},
         "loopback exemption set failed after 2 attempts (concurrent race)", 2);
}

// A function that cannot be found fails with its error, and is looked for again next time. The
// three profile functions are looked up together: where one is missing, each operation fails.
TEST_F(Loopback, AMissingFunctionFailsWithItsErrorAndIsLookedForAgain) {
  winsim::fail_next_call("GetProcAddress", "NetworkIsolationGetAppContainerConfig",
                         ERROR_PROC_NOT_FOUND);
  EXPECT_EQ(exempt_ours(),
            "NetworkIsolationGetAppContainerConfig returned Win32 error 127 (admin?)");
  EXPECT_EQ(exempt_ours(), "");

  forget_profile_functions();
  winsim::fail_every_call("GetProcAddress", "DeleteAppContainerProfile", ERROR_PROC_NOT_FOUND);
  EXPECT_EQ(ensure_profile("p").error().code(), 0x8007007Fu);
  EXPECT_EQ(derive_sid("p").error().code(), 0x8007007Fu);
  EXPECT_EQ(delete_profile("p").error().code(), 0x8007007Fu);
  winsim::clear_faults();
  EXPECT_TRUE(ensure_profile("p"));
}

// A list moved onto another that holds entries gives the other's back, and takes over its own.
TEST_F(Loopback, AListMovedOntoAnotherReleasesTheOther) {
  winsim::set_loopback_list({{kOtherA, 1}, {kOtherB, 2}});
  auto kept = read_exempt_list();
  auto moved = read_exempt_list();
  ASSERT_TRUE(kept && moved);
  *kept = std::move(*moved);
  ASSERT_EQ(kept->entries().size(), 2u);
  EXPECT_TRUE(testing::sid_equal(kept->entries()[1].Sid, testing::make_sid(kOtherB).get()));
  EXPECT_TRUE(moved->entries().empty());
}

// The pool's members replace their older entries, after other software's.
TEST_F(Loopback, APoolReplacesItsOlderEntriesAfterOtherSoftwares) {
  SandboxSid pool[] = {testing::make_sid(kPool[0]), testing::make_sid(kPool[1]),
                       testing::make_sid(kPool[2])};
  PSID sids[] = {pool[0].get(), pool[1].get(), pool[2].get()};
  winsim::set_loopback_list({{kPool[1], 5}, {kOtherA, 1}});
  EXPECT_TRUE(exempt_loopback_pool(sids));
  EXPECT_EQ(winsim::loopback_entries(),
            (Entries{{kOtherA, 1}, {kPool[0], 0}, {kPool[1], 0}, {kPool[2], 0}}));
}

}  // namespace
}  // namespace tavo

// The loopback exemption through the network-isolation functions, and the profile functions found
// the same way, against winsim.
#include "sandbox_profile/loopback.h"

#include "flows/admin_machine.h"
#include "sandbox_profile/exempt_list.h"

namespace tavo {
namespace {

using Entries = std::vector<std::pair<std::string, DWORD>>;
const std::string kOurs = "S-1-15-2-11-22-33-44-55-66-77";
const std::string kOtherA = "S-1-15-2-1000-2000-3000-4000-5000-6000-7000";

class Loopback : public AdminMachine {
 protected:
  void SetUp() override { forget_network_isolation_functions(); }
  void TearDown() override { forget_profile_functions(); }
  // The failure's own message, without its code; "" for a success.
  std::string exempt_ours() const {
    const auto exempt = exempt_loopback(ours.get());
    const std::string text = exempt ? "" : exempt.error().display();
    return text.substr(0, text.rfind(" ("));
  }

  SandboxSid ours = testing::make_sid(kOurs);
};

// Our entry goes after other software's, once, and is looked for after the write: a write that
// another writer undid is made once more, and a second loss is a failure.
TEST_F(Loopback, OurEntryEndsUpOnceAfterOtherSoftwares) {
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
  expect("other software's entries", {{kOtherSoftware, 0x80000000}, {kOtherA, 1}}, 0, "",
         {{kOtherSoftware, 0x80000000}, {kOtherA, 1}, {kOurs, 0}}, "", 1);
  expect("a write lost once", {{kOtherA, 1}}, 1, "", {{kOtherA, 1}, {kOurs, 0}}, "", 2);
  // The check after the write misses the entry once; the retry's read finds it.
  expect("found on the retry", {}, 0, "EqualSid", {{kOurs, 0}}, "", 1);
  expect("a write lost twice", {{kOtherA, 1}}, 2, "", {{kOtherA, 1}},
         "loopback exemption set failed after 2 attempts (concurrent race)", 2);
}

// A function that cannot be found fails with its error, and is looked for again next time. The
// three profile functions are looked up together: where one is missing, each operation fails.
TEST_F(Loopback, AMissingFunctionIsLookedForAgainAfterItsFailure) {
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

}  // namespace
}  // namespace tavo

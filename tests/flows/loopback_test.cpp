// Loopback exemption against winsim's machine-wide list: what is kept, what is written, how a
// concurrent writer and failures of each call are met, and that the lists read are released.
#include "sandbox_profile/loopback.h"

#include <gtest/gtest.h>
#include <winsim/testing.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "sandbox_profile/exempt_list.h"
#include "support/env.h"
#include "support/faults.h"
#include "support/log_capture.h"
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

// The failure's own message, "" for a success.
std::string message_of(const std::expected<void, HresultError>& result) {
  if (result) return "";
  EXPECT_EQ(result.error().code(), 0u);
  std::string text = result.error().display();
  const std::string_view code = " (0x00000000)";
  EXPECT_TRUE(text.ends_with(code)) << text;
  return text.substr(0, text.size() - std::min(text.size(), code.size()));
}

class Loopback : public testing::MachineTest {
 protected:
  void SetUp() override { forget_network_isolation_functions(); }
  // A fresh machine with nothing looked up; the test's SIDs stay.
  void start_over() {
    fresh_machine();
    forget_network_isolation_functions();
  }

  std::string exempt_ours() { return message_of(exempt_loopback(ours.get())); }
  std::string exempt_pool() {
    std::vector<PSID> borrowed;
    for (const SandboxSid& sid : pool)
      borrowed.push_back(sid.get());
    return message_of(exempt_loopback_pool(borrowed));
  }

  SandboxSid ours = testing::make_sid(kOurs);
  std::vector<SandboxSid> pool = [] {
    std::vector<SandboxSid> sids;
    for (const std::string& text : kPool)
      sids.push_back(testing::make_sid(text));
    return sids;
  }();
};

// Our entry goes after other software's, once, and is looked for after the write: a write that
// another writer undid is made once more, and a second loss is a failure.
TEST_F(Loopback, OurEntryIsAddedOnceAfterOtherSoftwaresAndCheckedAfterTheWrite) {
  // From the list `before`, with `lost` writes undone by another writer and the next call of
  // `failing` failing: the list after, the failure's message and the number of writes.
  auto expect = [&](const char* what, const Entries& before, std::size_t lost, const char* failing,
                    const Entries& after, const std::string& message, std::size_t writes) {
    SCOPED_TRACE(what);
    start_over();
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

// A function that cannot be found fails with its error, and is looked for again next time.
TEST_F(Loopback, AMissingFunctionFailsWithItsErrorAndIsLookedForAgain) {
  winsim::fail_next_call("GetProcAddress", "NetworkIsolationGetAppContainerConfig",
                         ERROR_PROC_NOT_FOUND);
  EXPECT_EQ(exempt_ours(),
            "NetworkIsolationGetAppContainerConfig returned Win32 error 127 (admin?)");
  EXPECT_EQ(exempt_ours(), "");
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

// Each platform call failing alone: a failure names the failing call and leaves the list as it
// was, or the operation succeeds; nothing leaks either way (the fixture checks the last machine,
// the loop the ones before).
TEST_F(Loopback, EveryFailingCallIsReportedAndLeaksNothing) {
  const std::vector<std::string> allowed = {
      "",
      "NetworkIsolationGetAppContainerConfig returned Win32 error 5 (admin?)",
      "NetworkIsolationSetAppContainerConfig returned Win32 error 5 (admin?)",
      "NetworkIsolationSetAppContainerConfig (pool) returned Win32 error 5 (admin?)",
  };
  const Entries others = {{kOtherA, 1}, {kPool[1], 0}};
  const std::vector<std::string> held = winsim::leaks();  // the test's SIDs
  for (bool pool_form : {false, true}) {
    auto act = [&] { return pool_form ? exempt_pool() : exempt_ours(); };
    start_over();
    winsim::set_loopback_list(others);
    ASSERT_EQ(act(), "");
    const std::vector<std::string> calls = testing::faultable_functions();
    ASSERT_GT(calls.size(), 4u);
    for (std::size_t n = 1; n <= calls.size(); ++n) {
      SCOPED_TRACE(::testing::Message() << (pool_form ? "pool, " : "single, ") << "failing call "
                                        << n << ": " << calls[n - 1]);
      start_over();
      winsim::set_loopback_list(others);
      testing::LogCapture log;
      winsim::fail_call_number(n, ERROR_ACCESS_DENIED);
      const std::string message = act();
      EXPECT_NE(std::find(allowed.begin(), allowed.end(), message), allowed.end()) << message;
      // A failure leaves the list as it was; a success ends it with every SID of ours.
      const std::vector<std::string> now = winsim::loopback_list();
      if (message.empty()) {
        const std::vector<std::string> ours_expected =
            pool_form ? std::vector<std::string>(std::begin(kPool), std::end(kPool))
                      : std::vector<std::string>{kOurs};
        ASSERT_GE(now.size(), ours_expected.size());
        EXPECT_EQ(std::vector<std::string>(now.end() - ours_expected.size(), now.end()),
                  ours_expected);
      } else {
        EXPECT_EQ(winsim::loopback_entries(), others);
      }
      EXPECT_EQ(winsim::leaks(), held);
      EXPECT_TRUE(winsim::release_errors().empty());
    }
  }
}

}  // namespace
}  // namespace tavo

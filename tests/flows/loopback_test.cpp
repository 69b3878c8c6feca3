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
#include "support/log_capture.h"
#include "support/machine.h"
#include "win/unique.h"
#include "win/wide.h"

namespace tavo {
namespace {

using Entries = std::vector<std::pair<std::string, DWORD>>;

const std::string kOurs = "S-1-15-2-11-22-33-44-55-66-77";
const std::string kOtherA = "S-1-15-2-1000-2000-3000-4000-5000-6000-7000";
const std::string kOtherB = "S-1-15-2-9-8-7-6-5-4-3";
const std::string kPool[] = {
    "S-1-15-2-100-0-0-0-0-0-1",
    "S-1-15-2-100-0-0-0-0-0-2",
    "S-1-15-2-100-0-0-0-0-0-3",
};

unique_local<void> make_sid(std::string_view text) {
  unique_local<void> sid;
  EXPECT_TRUE(ConvertStringSidToSidW(to_wide_nul(text).c_str(), sid.put())) << text;
  return sid;
}

std::string message_of(const std::expected<void, HresultError>& result) {
  if (result) return "";
  EXPECT_EQ(result.error().code(), 0u);
  return result.error().own_message().value_or("<no message>");
}

std::vector<PSID> borrowed(const std::vector<unique_local<void>>& sids) {
  std::vector<PSID> out;
  for (const auto& sid : sids)
    out.push_back(sid.get());
  return out;
}

bool is_release(std::string_view function) {
  for (std::string_view name : {"CloseHandle", "LocalFree", "FreeSid", "HeapFree", "FindClose",
                                "DeleteProcThreadAttributeList"}) {
    if (function == name) return true;
  }
  return false;
}

// The faultable number (1-based, as fail_call_number counts) of the n-th call of `function`.
std::size_t nth_call(const std::vector<std::string>& calls, std::string_view function, int n) {
  for (std::size_t i = 0; i < calls.size(); ++i) {
    if (calls[i] == function && --n == 0) return i + 1;
  }
  ADD_FAILURE() << function << " is not called that often";
  return 0;
}

class Loopback : public testing::MachineTest {
 protected:
  void SetUp() override {
    forget_network_isolation_functions();
    ours = make_sid(kOurs);
  }
  void TearDown() override {
    ours.reset();
    MachineTest::TearDown();
  }

  // A new machine with nothing resolved, and our SID on it.
  void fresh_machine() {
    ours.reset();
    winsim::reset();
    forget_network_isolation_functions();
    ours = make_sid(kOurs);
  }

  std::vector<unique_local<void>> pool_sids() {
    std::vector<unique_local<void>> sids;
    for (const std::string& text : kPool)
      sids.push_back(make_sid(text));
    return sids;
  }

  // The faultable calls `act` makes, by function, in order.
  template <class Act>
  std::vector<std::string> faultable_calls_of(Act act) {
    const std::size_t start = winsim::trace().size();
    act();
    std::vector<std::string> calls;
    for (std::size_t i = start; i < winsim::trace().size(); ++i) {
      if (!is_release(winsim::trace()[i].function)) calls.push_back(winsim::trace()[i].function);
    }
    return calls;
  }

  unique_local<void> ours;
};

TEST_F(Loopback, AnEmptyListGetsOurEntryAlone) {
  testing::LogCapture log;
  ASSERT_TRUE(exempt_loopback(ours.get()));
  EXPECT_EQ(winsim::loopback_entries(), (Entries{{kOurs, 0}}));
  EXPECT_TRUE(log.contains("setting loopback-exempt list with 1 entries (0 preexisting + ours)"));
  EXPECT_EQ(winsim::count_calls("NetworkIsolationSetAppContainerConfig"), 1u);
  EXPECT_EQ(winsim::count_calls("NetworkIsolationGetAppContainerConfig"), 2u);  // and the check
}

TEST_F(Loopback, AnExemptSidLeavesTheListAlone) {
  winsim::set_loopback_list({{kOtherA, 1}, {kOurs, 7}});
  testing::LogCapture log;
  ASSERT_TRUE(exempt_loopback(ours.get()));
  EXPECT_TRUE(log.contains("SID already loopback-exempt; leaving list unchanged"));
  EXPECT_EQ(winsim::count_calls("NetworkIsolationSetAppContainerConfig"), 0u);
  EXPECT_EQ(winsim::loopback_entries(), (Entries{{kOtherA, 1}, {kOurs, 7}}));
}

TEST_F(Loopback, OtherSoftwaresEntriesKeepTheirOrderAndAttributes) {
  winsim::set_loopback_list({{kOtherB, 0x80000000}, {kOtherA, 1}});
  testing::LogCapture log;
  ASSERT_TRUE(exempt_loopback(ours.get()));
  EXPECT_EQ(winsim::loopback_entries(), (Entries{{kOtherB, 0x80000000}, {kOtherA, 1}, {kOurs, 0}}));
  EXPECT_TRUE(log.contains("setting loopback-exempt list with 3 entries (2 preexisting + ours)"));
}

TEST_F(Loopback, AWriteLostOnceIsWrittenAgainOnTheRetry) {
  winsim::set_loopback_list({{kOtherA, 1}});
  winsim::lose_loopback_writes(1);
  testing::LogCapture log;
  ASSERT_TRUE(exempt_loopback(ours.get()));
  EXPECT_EQ(log.count("verify-after-set failed (race detected), retrying (attempt 1)"), 1u);
  EXPECT_FALSE(log.contains("attempt 2"));
  EXPECT_EQ(winsim::count_calls("NetworkIsolationSetAppContainerConfig"), 2u);
  EXPECT_EQ(winsim::loopback_entries(), (Entries{{kOtherA, 1}, {kOurs, 0}}));
}

TEST_F(Loopback, AnEntryThatTurnsUpOnTheRetryIsNotWrittenAgain) {
  // The check after the write misses the entry (its one comparison fails); the retry's read
  // finds it and counts as the check.
  winsim::fail_next_call("EqualSid", "", ERROR_INVALID_SID);
  testing::LogCapture log;
  ASSERT_TRUE(exempt_loopback(ours.get()));
  EXPECT_TRUE(log.contains("retrying (attempt 1)"));
  EXPECT_TRUE(log.contains("verified SID present after retry"));
  EXPECT_EQ(winsim::count_calls("NetworkIsolationSetAppContainerConfig"), 1u);
  EXPECT_EQ(winsim::loopback_list(), std::vector<std::string>{kOurs});
}

TEST_F(Loopback, TwoLostWritesFailAfterTheSecondWarning) {
  winsim::set_loopback_list({{kOtherA, 1}});
  winsim::lose_loopback_writes(2);
  testing::LogCapture log;
  auto result = exempt_loopback(ours.get());
  EXPECT_EQ(message_of(result), "loopback exemption set failed after 2 attempts (concurrent race)");
  EXPECT_TRUE(log.contains("retrying (attempt 1)"));
  EXPECT_TRUE(log.contains("retrying (attempt 2)"));
  EXPECT_EQ(winsim::count_calls("NetworkIsolationSetAppContainerConfig"), 2u);
  EXPECT_EQ(winsim::loopback_entries(), (Entries{{kOtherA, 1}}));
}

TEST_F(Loopback, ReadAndWriteFailuresNameTheCallAndItsCode) {
  winsim::fail_next_call("NetworkIsolationGetAppContainerConfig", "", ERROR_ACCESS_DENIED);
  EXPECT_EQ(message_of(exempt_loopback(ours.get())),
            "NetworkIsolationGetAppContainerConfig returned Win32 error 5 (admin?)");
  EXPECT_EQ(winsim::count_calls("NetworkIsolationSetAppContainerConfig"), 0u);

  winsim::fail_next_call("NetworkIsolationGetAppContainerConfig", "", ERROR_INVALID_PARAMETER);
  EXPECT_EQ(message_of(exempt_loopback_pool(std::vector<PSID>{ours.get()})),
            "NetworkIsolationGetAppContainerConfig returned Win32 error 87 (admin?)");
  EXPECT_TRUE(winsim::loopback_list().empty());
}

TEST_F(Loopback, WithoutAdministratorRightsTheWriteFails) {
  winsim::set_loopback_list({{kOtherA, 1}});
  testing::ScopedEnv user("WINSIM_ADMIN", "0");
  const std::size_t reads_before = winsim::count_calls("NetworkIsolationGetAppContainerConfig");
  EXPECT_EQ(message_of(exempt_loopback(ours.get())),
            "NetworkIsolationSetAppContainerConfig returned Win32 error 5 (admin?)");
  // A failed write is not read back.
  EXPECT_EQ(winsim::count_calls("NetworkIsolationGetAppContainerConfig") - reads_before, 1u);
  EXPECT_EQ(message_of(exempt_loopback_pool(std::vector<PSID>{ours.get()})),
            "NetworkIsolationSetAppContainerConfig (pool) returned Win32 error 5 (admin?)");
  EXPECT_EQ(winsim::loopback_entries(), (Entries{{kOtherA, 1}}));
}

TEST_F(Loopback, AFailedCheckAfterASuccessfulWriteIsOnlyAWarning) {
  const auto calls = faultable_calls_of([&] { ASSERT_TRUE(exempt_loopback(ours.get())); });
  fresh_machine();
  winsim::fail_call_number(nth_call(calls, "NetworkIsolationGetAppContainerConfig", 2),
                           ERROR_NOT_FOUND);
  testing::LogCapture log;
  ASSERT_TRUE(exempt_loopback(ours.get()));
  EXPECT_TRUE(log.contains(
      "verify-after-set Get failed (error 1168); Set succeeded so proceeding optimistically"));
  EXPECT_EQ(winsim::loopback_list(), std::vector<std::string>{kOurs});
}

TEST_F(Loopback, AMissingFunctionFailsWithItsError) {
  winsim::fail_next_call("GetProcAddress", "NetworkIsolationGetAppContainerConfig",
                         ERROR_PROC_NOT_FOUND);
  EXPECT_EQ(message_of(exempt_loopback(ours.get())),
            "NetworkIsolationGetAppContainerConfig returned Win32 error 127 (admin?)");

  // A failed look-up is tried again; the missing write function fails after the read.
  winsim::fail_next_call("GetProcAddress", "NetworkIsolationSetAppContainerConfig",
                         ERROR_PROC_NOT_FOUND);
  EXPECT_EQ(message_of(exempt_loopback_pool(std::vector<PSID>{ours.get()})),
            "NetworkIsolationSetAppContainerConfig (pool) returned Win32 error 127 (admin?)");
  EXPECT_TRUE(winsim::loopback_list().empty());

  forget_network_isolation_functions();
  winsim::fail_next_call("LoadLibraryExW", "firewallapi", ERROR_MOD_NOT_FOUND);
  EXPECT_EQ(message_of(exempt_loopback(ours.get())),
            "NetworkIsolationGetAppContainerConfig returned Win32 error 126 (admin?)");
}

TEST_F(Loopback, APoolOnAnEmptyListIsWrittenInPoolOrder) {
  auto pool = pool_sids();
  testing::LogCapture log;
  ASSERT_TRUE(exempt_loopback_pool(borrowed(pool)));
  EXPECT_EQ(winsim::loopback_entries(), (Entries{{kPool[0], 0}, {kPool[1], 0}, {kPool[2], 0}}));
  EXPECT_TRUE(log.contains("loopback exemption set (3 pool + 0 preserved = 3 total)"));
}

TEST_F(Loopback, APoolReplacesItsOldEntriesAndKeepsOthers) {
  winsim::set_loopback_list({{kOtherA, 1}, {kPool[1], 4}, {kOtherB, 2}, {kPool[0], 0}});
  auto pool = pool_sids();
  testing::LogCapture log;
  ASSERT_TRUE(exempt_loopback_pool(borrowed(pool)));
  const Entries expected = {
      {kOtherA, 1}, {kOtherB, 2}, {kPool[0], 0}, {kPool[1], 0}, {kPool[2], 0}};
  EXPECT_EQ(winsim::loopback_entries(), expected);
  EXPECT_TRUE(log.contains("loopback exemption set (3 pool + 2 preserved = 5 total)"));

  // A second registration writes again, reads nothing back and duplicates nothing.
  ASSERT_TRUE(exempt_loopback_pool(borrowed(pool)));
  EXPECT_EQ(winsim::loopback_entries(), expected);
  EXPECT_EQ(winsim::count_calls("NetworkIsolationSetAppContainerConfig"), 2u);
  EXPECT_EQ(winsim::count_calls("NetworkIsolationGetAppContainerConfig"), 2u);
}

// Each platform call failing alone: a failure names the failing call, or the operation succeeds;
// nothing leaks either way (the fixture checks every machine, the loop checks the ones between).
TEST_F(Loopback, EveryFailingCallIsReportedAndLeaksNothing) {
  const std::vector<std::string> allowed = {
      "",
      "NetworkIsolationGetAppContainerConfig returned Win32 error 5 (admin?)",
      "NetworkIsolationSetAppContainerConfig returned Win32 error 5 (admin?)",
      "NetworkIsolationSetAppContainerConfig (pool) returned Win32 error 5 (admin?)",
  };
  const Entries others = {{kOtherA, 1}, {kPool[1], 0}};
  for (bool pool_form : {false, true}) {
    auto act = [&](const std::vector<unique_local<void>>& pool) {
      return pool_form ? exempt_loopback_pool(borrowed(pool)) : exempt_loopback(ours.get());
    };
    std::vector<std::string> calls;
    {
      fresh_machine();
      winsim::set_loopback_list(others);
      const auto pool = pool_sids();
      calls = faultable_calls_of([&] { ASSERT_TRUE(act(pool)); });
    }
    ASSERT_GT(calls.size(), 4u);
    for (std::size_t n = 1; n <= calls.size(); ++n) {
      SCOPED_TRACE(::testing::Message() << (pool_form ? "pool, " : "single, ") << "failing call "
                                        << n << ": " << calls[n - 1]);
      fresh_machine();
      winsim::set_loopback_list(others);
      std::string message;
      {
        const auto pool = pool_sids();
        testing::LogCapture log;
        winsim::fail_call_number(n, ERROR_ACCESS_DENIED);
        message = message_of(act(pool));
      }
      EXPECT_NE(std::find(allowed.begin(), allowed.end(), message), allowed.end()) << message;
      if (!message.empty()) {
        EXPECT_EQ(winsim::loopback_entries(), others);
      }
      ours.reset();
      EXPECT_TRUE(winsim::leaks().empty());
      EXPECT_TRUE(winsim::release_errors().empty());
    }
  }
}

}  // namespace
}  // namespace tavo

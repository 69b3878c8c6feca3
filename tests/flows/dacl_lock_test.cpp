// The lock every DACL edit holds: from the read to the write, never while the command runs, and
// never a reason for an edit to fail.
#include "acl/dacl_lock.h"

#include <gtest/gtest.h>
#include <winsim/testing.h>

#include "acl/acl.h"
#include "run_mode.h"
#include "support/env.h"
#include "support/log_capture.h"
#include "support/machine.h"
#include "support/sids.h"
#include "support/temp_dir.h"

namespace tavo {
namespace {

constexpr std::string_view kMutex = "Global\\tavo-sandbox-dacl-edit";

bool is_dacl_access(std::string_view function) {
  for (std::string_view call : {"GetSecurityInfo", "SetSecurityInfo", "GetKernelObjectSecurity",
                                "SetKernelObjectSecurity"}) {
    if (function == call) return true;
  }
  return false;
}

class DaclLock : public testing::MachineTest {
 protected:
  void SetUp() override {
    root.make_dir("c/work/a");
    root.make_dir("c/work/secret");
    root.write("sid", std::string(testing::kTestSid) + "\n");
  }
  testing::TempDir root;
  testing::ScopedEnv drives{"WINSIM_ROOT", root.path()};
  SandboxSid sid = testing::make_sid();
};

TEST_F(DaclLock, EveryDaclReadAndWriteOfARunHoldsItAndTheCommandDoesNot) {
  tavo::Run run;
  run.profile_name = "p";
  run.sandbox_sid_file = root / "sid";
  run.grant_rw = {"C:\\work\\a"};
  run.deny_access = {"C:\\work\\secret"};
  run.cwd = root / "c/work/a";
  run.command = "sh";
  run.args = {"-c", "exit 0"};
  ASSERT_EQ(run_sandboxed(run), 0);

  // Each write lies in a lock window in which a read came first; the undo holds the lock across
  // all its restores, each of which takes it again. Reads alone (the test for an entry of all
  // application packages) need none.
  int depth = 0;
  bool read_in_window = false;
  std::size_t writes = 0;
  std::string previous;
  for (const winsim::Call& call : winsim::trace()) {
    const std::string_view function = call.function;
    if (function == "WaitForSingleObject" && previous == "CreateMutexExW") {
      if (depth++ == 0) read_in_window = false;
    } else if (function == "ReleaseMutex") {
      ASSERT_GT(depth, 0);
      EXPECT_EQ(call.key, kMutex);
      --depth;
    } else if (is_dacl_access(function) && function.starts_with("Get")) {
      read_in_window = read_in_window || depth > 0;
    } else if (is_dacl_access(function)) {
      EXPECT_TRUE(depth > 0 && read_in_window) << function << " " << call.key;
      ++writes;
    } else if (function == "CreateProcessW") {
      EXPECT_EQ(depth, 0);
    }
    previous = call.function;
  }
  EXPECT_EQ(depth, 0);
  // Traversal of C:\work and C:\, the NUL device, the grant, the deny and its undo.
  EXPECT_GE(writes, 6u);
}

// Neither a mutex that cannot be had nor one whose holder died stops an edit.
TEST_F(DaclLock, AnEditGoesOnWithoutItOrAfterTakingItOver) {
  testing::LogCapture log(Level::Debug);
  winsim::fail_next_call("CreateMutexExW", "", ERROR_ACCESS_DENIED);
  ASSERT_TRUE(grant_access(sid.get(), root / "c/work/a", AccessLevel::Read));
  EXPECT_EQ(log.text(), "[DEBUG tavo_sandbox] DACL edit lock unavailable, editing without it: " +
                            HresultError::from_win32(ERROR_ACCESS_DENIED).display() + "\n");
  EXPECT_EQ(winsim::count_calls("WaitForSingleObject"), 0u);

  testing::LogCapture taken(Level::Debug);
  winsim::abandon_mutex(kMutex);
  ASSERT_TRUE(deny_access(sid.get(), root / "c/work/a"));
  EXPECT_EQ(taken.text(),
            "[DEBUG tavo_sandbox] DACL edit lock taken over from a holder that ended\n");
  EXPECT_EQ(winsim::count_calls("ReleaseMutex"), 1u);
}

}  // namespace
}  // namespace tavo

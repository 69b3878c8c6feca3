// The run mode end to end against winsim: real commands, simulated file security.
#include "run_mode.h"

#include <gtest/gtest.h>
#include <winsim/process_testing.h>
#include <winsim/testing.h>

#include <filesystem>

#include "flows/host_processes.h"
#include "support/env.h"
#include "support/faults.h"
#include "support/log_capture.h"
#include "support/machine.h"
#include "support/sids.h"
#include "support/temp_dir.h"
#include "win/error.h"

namespace tavo {
namespace {

using testing::kTestSid;

const std::string kOwnerChoice = "D:P(A;OICI;0x1f01ff;;;S-1-5-18)";

class RunMode : public testing::MachineTest {
 protected:
  void SetUp() override {
    // The journal directory is there from the start, so every run makes the same calls.
    for (const char* d : {"c/Windows", "c/work/a", "c/work/b", "c/work/secret", "c/work/private",
                          "c/Users/u/AppData/Local/Tavo/runs", "admin"})
      root.make_dir(d);
    root.write("admin/sid", std::string(kTestSid) + "\n");
    fresh_machine();
  }

  // A fresh machine where the SID file is as a registration leaves it, the administrators' alone,
  // and C:\work\private is protected by its owner.
  void fresh_machine() const {
    MachineTest::fresh_machine();
    for (const auto& [name, sddl] : {std::pair{"admin", kAdminFolder}, {"admin/sid", kAdminFile}}) {
      winsim::set_owner(root / name, "S-1-5-32-544");
      winsim::set_stored_sddl(root / name, sddl);
    }
    winsim::set_stored_sddl(root / "c/work/private", kOwnerChoice);
  }

  // A run with the SID file, so the SID is known; `script` is the command's shell code.
  tavo::Run command(std::string script = "exit 0") const {
    tavo::Run run;
    run.profile_name = "p";
    run.sandbox_sid_file = root / "admin/sid";
    run.command = "sh";
    run.args = {"-c", std::move(script)};
    return run;
  }
  // The same run with two grants and two denies.
  tavo::Run with_entries(tavo::Run run) const {
    run.grant_rw = {"C:\\work\\a"};
    run.grant_r = {"C:\\work\\b"};
    run.deny_access = {"C:\\work\\secret", "C:\\work\\private"};
    return run;
  }

  std::string stored(std::string_view name) const { return winsim::stored_sddl(root / name); }
  bool holds_sid(std::string_view name) const {
    return stored(name).find(kTestSid) != std::string::npos;
  }

  // Deny entries and what only passes on to new children give no one a hold on the folder.
  static constexpr const char* kAdminFolder =
      "D:P(D;;0x1f01ff;;;BU)(A;OICI;0x1f01ff;;;SY)(A;OICI;0x1f01ff;;;BA)(A;OICI;0x1200a9;;;BU)"
      "(A;OICIIO;0x10000000;;;CO)";
  static constexpr const char* kAdminFile =
      "D:P(A;;0x1f01ff;;;SY)(A;;0x1f01ff;;;BA)(A;;0x120089;;;BU)";

  testing::TempDir root;
  testing::ScopedEnv drives{"WINSIM_ROOT", root.path()};
  testing::ScopedEnv local{"LOCALAPPDATA", "C:\\Users\\u\\AppData\\Local"};
};

// Every platform call of a run with two grants and two denies, failed alone. The status says what
// happened: the command's own status means it ran with both denies in place and the run keeps
// its grants; any other means the grants went too (12 and 13: the command never started).
// Either way the denies go and an owner's protection stays, unless the failed call was that very
// rollback, which is warned about. The traversal and NUL device grants may fail without failing
// the run.
TEST_F(RunMode, WhateverCallFailsTheStatusKeepsItsPromise) {
  // The command copies the machine's state as it runs, so the test sees what it saw.
  testing::ScopedEnv state("WINSIM_STATE", root / "state");
  // It leaves a process behind, which must end with the run whatever happens.
  tavo::Run run = with_entries(command("cp \"$WINSIM_STATE\" " + (root / "seen") +
                                       "; sleep 30 & echo $! > " + (root / "bg.pid")));
  run.cwd = root / "c/work/a";
  const std::string deny = "\tD:P(D;OICI;0x1201bf;;;" + std::string(kTestSid) + ")";
  auto denied_while_running = [&](std::string_view name) {
    return root.read("seen").find(root / name + deny) != std::string::npos;
  };
  auto fresh = [&] {
    for (const char* file : {"state", "seen", "bg.pid"})
      std::filesystem::remove(root / file);
    fresh_machine();
  };
  std::vector<std::string> held;
  auto nothing_outlives_the_run = [&] {
    EXPECT_EQ(winsim::running_processes(), 0u);
    EXPECT_TRUE(!root.exists("bg.pid") ||
                testing::host_process_ends_soon(std::stoi(root.read("bg.pid"))));
    EXPECT_EQ(winsim::leaks(), held);
    EXPECT_EQ(winsim::release_errors(), std::vector<std::string>{});
  };
  fresh();
  held = winsim::leaks();
  ASSERT_EQ(run_sandboxed(run), 0);
  nothing_outlives_the_run();
  ASSERT_EQ(run_sandboxed(run), 0);  // a second run changes nothing it keeps
  EXPECT_EQ(stored("c/work/a"), "D:(A;OICI;0x1301bf;;;" + std::string(kTestSid) + ")");
  EXPECT_EQ(stored("c/work/b"), "D:(A;OICI;0x1200a9;;;" + std::string(kTestSid) + ")");
  const std::string nul = winsim::dacl_sddl("NUL");  // one entry, however many runs
  EXPECT_TRUE(nul.find(kTestSid) != nul.npos && nul.find(kTestSid) == nul.rfind(kTestSid)) << nul;
  EXPECT_EQ(testing::dacl_calls_by_name(), std::vector<std::string>{});

  fresh();
  ASSERT_EQ(run_sandboxed(run), 0);
  std::vector<std::string> calls;
  for (const winsim::Call& call : winsim::trace()) {
    if (call.faultable) calls.push_back(call.function + " " + call.key);
  }
  for (std::size_t n = 1; n <= calls.size(); ++n) {
    SCOPED_TRACE("failing call " + std::to_string(n) + ": " + calls[n - 1]);
    fresh();
    testing::LogCapture log(Level::Warn);
    winsim::fail_call_number(n, ERROR_ACCESS_DENIED);
    const int status = run_sandboxed(run);
    winsim::clear_faults();
    nothing_outlives_the_run();
    const bool ran = root.exists("seen");
    EXPECT_TRUE(status == 0 || status == 12 || status == 13 || status == 14) << status;
    EXPECT_TRUE(status == 0 ? ran : status == 14 || !ran) << status;
    const bool may_fail = calls[n - 1].starts_with("SetKernelObjectSecurity") ||
                          calls[n - 1] == "SetSecurityInfo NUL";
    EXPECT_TRUE(!may_fail || status == 0) << status;
    if (ran) {
      EXPECT_TRUE(denied_while_running("c/work/secret") && denied_while_running("c/work/private"));
    }
    auto rollback_failed = [&](const char* name) {
      return log.contains("revoke C:\\work\\" + std::string(name) + " failed");
    };
    for (const char* grant : {"a", "b"}) {
      EXPECT_TRUE(rollback_failed(grant) ||
                  holds_sid("c/work/" + std::string(grant)) == (status == 0))
          << grant << "\n"
          << log.text();
    }
    EXPECT_TRUE(rollback_failed("secret") || stored("c/work/secret").empty()) << log.text();
    EXPECT_TRUE(rollback_failed("private") || stored("c/work/private") == kOwnerChoice);
  }
}

// Each failure of a run: its status and its one error line; nothing of the run is left, the
// command does not run, and a failure found before the first change makes no change at all.
TEST_F(RunMode, EachFailureHasItsStatusAndItsErrorLine) {
  auto expect = [&](const char* what, tavo::Run run, int status, const std::string& error,
                    bool before_changes = true) {
    SCOPED_TRACE(what);
    fresh_machine();
    run.args = {"-c", "touch " + (root / "ran")};
    testing::LogCapture log(Level::Error);
    EXPECT_EQ(run_sandboxed(run), status);
    EXPECT_EQ(log.text(), "[ERROR tavo_sandbox] " + error + "\n");
    if (before_changes) {
      EXPECT_EQ(
          winsim::count_calls("SetSecurityInfo") + winsim::count_calls("SetKernelObjectSecurity"),
          0u);
    }
    for (const char* name : {"a", "b", "secret"})
      EXPECT_EQ(stored("c/work/" + std::string(name)), "") << name;
    EXPECT_EQ(stored("c/work/private"), kOwnerChoice);
    EXPECT_FALSE(root.exists("ran"));
  };
  tavo::Run network = command();
  network.sandbox_sid_file.reset();
  network.network_mode = NetworkMode::CommonDependencies;
  expect("network mode", network, 13,
         "network mode CommonDependencies requires --sandbox-sid-file (admin setup not run?)");
  root.write("everyone.sid", "S-1-1-0\n");
  tavo::Run everyone = command();
  everyone.sandbox_sid_file = root / "everyone.sid";
  expect("not an AppContainer SID", everyone, 13,
         "--sandbox-sid-file '" + (root / "everyone.sid") + "' failed: network sid file '" +
             (root / "everyone.sid") +
             "': S-1-1-0 is not an AppContainer SID (run with `--register-sandbox-profile` as "
             "admin to fix)");
  tavo::Run bad_profile = command();
  bad_profile.sandbox_sid_file.reset();
  bad_profile.profile_name = "not/allowed";
  expect("profile", bad_profile, 11,
         "ensure profile failed: " + HresultError(0x80070057).display());
  EXPECT_TRUE(winsim::profiles().empty());
  // A system path anywhere refuses the run before any change, not even the NUL device's.
  tavo::Run system = with_entries(command());
  system.cwd = root / "c/work/a";
  system.deny_access.push_back("C:\\work\\..\\Windows");
  expect("system path", system, 12, "refusing to modify ACL on system path: C:\\work\\..\\Windows");
  // A stream of an ordinary folder is refused the same way (it is the folder's DACL).
  tavo::Run stream = with_entries(command());
  stream.grant_r.push_back("C:\\work\\a::$INDEX_ALLOCATION");
  expect("stream", stream, 12,
         "refusing to modify ACL on system path: C:\\work\\a::$INDEX_ALLOCATION");
  tavo::Run missing = with_entries(command());
  missing.deny_access.push_back("C:\\work\\missing");
  expect("deny", missing, 12,
         "deny_access C:\\work\\missing failed: " + HresultError::from_win32(2).display(), false);
  tavo::Run launch = with_entries(command());
  launch.command = "no-such-program-here";
  expect("launch", launch, 14, "spawn failed: " + HresultError::from_win32(2).display(), false);
}

// A rollback that fails is warned about, and the run's status stays.
TEST_F(RunMode, AFailedRollbackIsWarnedAndTheStatusStays) {
  tavo::Run run = command();
  run.command = "no-such-program-here";
  run.grant_rw = {"C:\\work\\a"};
  run.deny_access = {"C:\\work\\secret"};
  winsim::fail_every_call("SetSecurityInfo", "\\\\?\\", ERROR_ACCESS_DENIED);  // the undo's
  testing::LogCapture log(Level::Warn);
  EXPECT_EQ(run_sandboxed(run), 14);
  const std::string denied = HresultError::from_win32(5).display() + "\n";
  EXPECT_EQ(log.text_of("rollback"),
            "[WARN  tavo_sandbox] rollback deny-revoke C:\\work\\secret failed: " + denied +
                "[WARN  tavo_sandbox] rollback revoke C:\\work\\a failed: " + denied);
}

// A folder whose DACL the caller may not change: a grant already in place needs no write and the
// run goes on; a grant that needs one fails as a refused write does.
TEST_F(RunMode, AnUnprivilegedRunNeedsNoWriteForAGrantInPlace) {
  testing::ScopedEnv unprivileged("WINSIM_ADMIN", "0");
  winsim::set_owner("C:\\work\\a", "S-1-5-18");
  winsim::set_stored_sddl("C:\\work\\a", "D:(A;OICI;0x1301bf;;;" + std::string(kTestSid) + ")");
  tavo::Run run = command("exit 5");
  run.grant_rw = {"C:\\work\\a"};
  EXPECT_EQ(run_sandboxed(run), 5);
  run.grant_rw.clear();
  run.grant_r = {"C:\\work\\a"};
  testing::LogCapture log(Level::Error);
  EXPECT_EQ(run_sandboxed(run), 12);
  EXPECT_EQ(log.text(), "[ERROR tavo_sandbox] grant_r C:\\work\\a failed: " +
                            HresultError::from_win32(ERROR_ACCESS_DENIED).display() + "\n");
}

// Whoever can replace the SID file chooses the command's identity: the run says so, once, and
// goes ahead as asked. The administrators' own file goes unremarked.
TEST_F(RunMode, ASidFileOthersCanChangeIsWarnedAboutOnce) {
  const auto warnings_of_a_run = [&](const std::string& sid_file) {
    tavo::Run run = command("exit 4");
    run.sandbox_sid_file = sid_file;
    testing::LogCapture log(Level::Warn);
    EXPECT_EQ(run_sandboxed(run), 4);
    return log.text();
  };
  EXPECT_EQ(warnings_of_a_run(root / "admin/sid"), "");
  // In the user's folder; then in the administrators' folder, but the user's own file.
  for (const char* name : {"user.sid", "admin/user.sid"}) {
    root.write(name, std::string(kTestSid) + "\n");
    EXPECT_EQ(warnings_of_a_run(root / name), "[WARN  tavo_sandbox::sandbox_profile] SID file " +
                                                  (root / name) +
                                                  " can be changed by non-administrators\n");
  }
}

}  // namespace
}  // namespace tavo

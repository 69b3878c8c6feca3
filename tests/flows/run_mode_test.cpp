// The run mode end to end against winsim: real commands, simulated file security.
#include "run_mode.h"

#include <gtest/gtest.h>
#include <winsim/testing.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "sandbox_profile/sid.h"
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

class RunMode : public testing::MachineTest {
 protected:
  void SetUp() override {
    for (const char* d : {"c/Windows", "c/work/a", "c/work/b", "c/work/secret", "c/work/private"}) {
      root.make_dir(d);
    }
    root.write("sid", std::string(kTestSid) + "\n");
  }

  // A run with the SID file, so the SID is known; `script` is the command's shell code.
  tavo::Run command(std::string script = "exit 0") const {
    tavo::Run run;
    run.profile_name = "p";
    run.sandbox_sid_file = root / "sid";
    run.command = "sh";
    run.args = {"-c", std::move(script)};
    return run;
  }

  std::string stored(std::string_view name) const { return winsim::stored_sddl(root / name); }
  bool has_our_entry(std::string_view name) const {
    return stored(name).find(std::string(kTestSid)) != std::string::npos;
  }

  testing::TempDir root;
  testing::ScopedEnv drives{"WINSIM_ROOT", root.path()};
};

TEST_F(RunMode, ACompletedRunKeepsItsGrantsAndTakesItsDenyBack) {
  tavo::Run run = command("test -d " + (root / "c/work/a") + " && exit 3");
  run.grant_rw = {"C:\\work\\a"};
  run.grant_r = {"C:\\work\\b"};
  run.deny_access = {"C:\\work\\secret"};
  EXPECT_EQ(run_sandboxed(run), 3);
  EXPECT_EQ(stored("c/work/a"), "D:(A;OICI;0x1301bf;;;" + std::string(kTestSid) + ")");
  EXPECT_EQ(stored("c/work/b"), "D:(A;OICI;0x1200a9;;;" + std::string(kTestSid) + ")");
  EXPECT_EQ(stored("c/work/secret"), "");
}

TEST_F(RunMode, TheDenyIsInPlaceWhileTheCommandRuns) {
  const std::string state = root / "state";
  testing::ScopedEnv persisted("WINSIM_STATE", state);
  fresh_machine();
  tavo::Run run = command("grep -q 'D;OICI;0x1201bf' " + state + " || exit 9");
  run.deny_access = {"C:\\work\\secret"};
  EXPECT_EQ(run_sandboxed(run), 0);
  EXPECT_EQ(stored("c/work/secret"), "");
}

TEST_F(RunMode, ExitCodesBecomeStatuses) {
  EXPECT_EQ(run_sandboxed(command("exit 0")), 0);
  EXPECT_EQ(run_sandboxed(command("exit 44")), 44);
  testing::LogCapture log(Level::Warn);
  EXPECT_EQ(run_sandboxed(command("kill -SEGV $$")), 14);
  EXPECT_EQ(log.text(), "[WARN  tavo_sandbox] child terminated with NTSTATUS 0xc0000005\n");
  EXPECT_EQ(run_sandboxed(command("kill -TERM $$")), 14);
  EXPECT_TRUE(log.contains("0xc000013a"));
}

TEST_F(RunMode, ANetworkModeNeedsASidFileBeforeAnythingElse) {
  testing::LogCapture log;
  tavo::Run run = command();
  run.sandbox_sid_file.reset();
  run.network_mode = NetworkMode::CommonDependencies;
  EXPECT_EQ(run_sandboxed(run), 13);
  EXPECT_EQ(log.text(),
            "[ERROR tavo_sandbox] network mode CommonDependencies requires --sandbox-sid-file "
            "(admin setup not run?)\n");
  EXPECT_TRUE(winsim::profiles().empty());
  EXPECT_EQ(winsim::count_calls("CreateAppContainerProfile"), 0u);
}

TEST_F(RunMode, SidFileAndProfileFailures) {
  testing::LogCapture log(Level::Error);
  tavo::Run unreadable = command();
  unreadable.sandbox_sid_file = root / "missing.sid";
  EXPECT_EQ(run_sandboxed(unreadable), 13);
  EXPECT_EQ(log.lines().back(), "[ERROR tavo_sandbox] --sandbox-sid-file '" +
                                    (root / "missing.sid") + "' failed: network sid file '" +
                                    (root / "missing.sid") +
                                    "': " + IoError::from_win32(2).display() +
                                    " (run with `--register-sandbox-profile` as admin to fix)\n");

  tavo::Run bad_profile = command();
  bad_profile.sandbox_sid_file.reset();
  bad_profile.profile_name = "not/allowed";
  EXPECT_EQ(run_sandboxed(bad_profile), 11);
  EXPECT_EQ(log.lines().back(), "[ERROR tavo_sandbox] ensure profile failed: " +
                                    HresultError(0x80070057).display() + "\n");

  tavo::Run by_name = command("exit 5");
  by_name.sandbox_sid_file.reset();
  by_name.profile_name = "build-1";
  EXPECT_EQ(run_sandboxed(by_name), 5);
  EXPECT_EQ(winsim::profiles().size(), 1u);
}

TEST_F(RunMode, ASystemPathAnywhereRefusesTheRunBeforeAnyChange) {
  testing::LogCapture log(Level::Error);
  tavo::Run run = command("exit 0");
  run.cwd = root / "c/work/a";
  run.grant_rw = {"C:\\work\\a"};
  run.grant_r = {"C:\\work\\b", "C:\\work\\..\\Windows"};
  run.deny_access = {"C:\\Windows"};
  EXPECT_EQ(run_sandboxed(run), 12);
  EXPECT_EQ(log.text(),
            "[ERROR tavo_sandbox] refusing to modify ACL on system path: C:\\work\\..\\Windows\n");
  for (const char* write : {"SetNamedSecurityInfoW", "SetFileSecurityW", "SetSecurityInfo"}) {
    EXPECT_EQ(winsim::count_calls(write), 0u) << write;
  }
  EXPECT_EQ(winsim::count_calls("CreateProcessW"), 0u);
}

TEST_F(RunMode, NonFatalStepsOnlyWarn) {
  testing::LogCapture log(Level::Warn);
  winsim::fail_every_call("SetFileSecurityW", "", ERROR_ACCESS_DENIED);
  winsim::fail_every_call("SetSecurityInfo", "", ERROR_ACCESS_DENIED);
  tavo::Run run = command("exit 7");
  run.cwd = root / "c/work/a";
  EXPECT_EQ(run_sandboxed(run), 7);
  ASSERT_EQ(log.lines().size(), 2u);
  EXPECT_TRUE(log.lines()[0].starts_with(
      "[WARN  tavo_sandbox] grant_cwd_ancestors failed (non-fatal): grant ancestor "));
  EXPECT_EQ(
      log.lines()[1],
      "[WARN  tavo_sandbox] NUL device grant failed (non-fatal): SetSecurityInfo NUL failed: 5\n");
}

TEST_F(RunMode, AFailedGrantRemovesTheGrantsBeforeIt) {
  testing::LogCapture log(Level::Error);
  tavo::Run run = command("touch " + (root / "ran"));
  run.grant_rw = {"C:\\work\\a", "C:\\work\\missing"};
  EXPECT_EQ(run_sandboxed(run), 12);
  EXPECT_EQ(log.text(), "[ERROR tavo_sandbox] grant_rw C:\\work\\missing failed: " +
                            HresultError::from_win32(2).display() + "\n");
  EXPECT_EQ(stored("c/work/a"), "");
  EXPECT_FALSE(root.exists("ran"));

  run.grant_rw = {"C:\\work\\a"};
  run.grant_r = {"C:\\work\\b", "C:\\work\\missing"};
  EXPECT_EQ(run_sandboxed(run), 12);
  EXPECT_TRUE(
      log.lines().back().starts_with("[ERROR tavo_sandbox] grant_r C:\\work\\missing failed: "));
  EXPECT_EQ(stored("c/work/a"), "");
  EXPECT_EQ(stored("c/work/b"), "");
}

TEST_F(RunMode, AFailedDenyUndoesDeniesFirstThenGrants) {
  tavo::Run run = command();
  run.grant_rw = {"C:\\work\\a"};
  run.grant_r = {"C:\\work\\b"};
  run.deny_access = {"C:\\work\\secret", "C:\\work\\missing"};
  const std::size_t first = winsim::trace().size();
  EXPECT_EQ(run_sandboxed(run), 12);
  std::vector<std::string> rollback;
  bool failed = false;
  for (std::size_t i = first; i < winsim::trace().size(); ++i) {
    const auto& call = winsim::trace()[i];
    if (call.function == "GetNamedSecurityInfoW" && call.key.find("missing") != std::string::npos)
      failed = true;
    if (failed && call.function == "SetNamedSecurityInfoW") rollback.push_back(call.key);
  }
  EXPECT_EQ(rollback, (std::vector<std::string>{"C:\\work\\secret", "C:\\work\\a", "C:\\work\\b"}));
  for (const char* d : {"c/work/a", "c/work/b", "c/work/secret"})
    EXPECT_EQ(stored(d), "") << d;
}

TEST_F(RunMode, ALaunchFailureUndoesEverything) {
  testing::LogCapture log(Level::Error);
  tavo::Run run = command();
  run.command = "no-such-program-here";
  run.grant_rw = {"C:\\work\\a"};
  run.deny_access = {"C:\\work\\secret"};
  EXPECT_EQ(run_sandboxed(run), 14);
  EXPECT_EQ(log.text(),
            "[ERROR tavo_sandbox] spawn failed: " + HresultError::from_win32(2).display() + "\n");
  EXPECT_EQ(stored("c/work/a"), "");
  EXPECT_EQ(stored("c/work/secret"), "");
}

TEST_F(RunMode, AFailedRollbackIsWarnedAndTheStatusStays) {
  testing::LogCapture log(Level::Warn);
  tavo::Run run = command();
  run.command = "no-such-program-here";
  run.grant_rw = {"C:\\work\\a"};
  // The grant itself writes first; the rollback's write is the second.
  const std::size_t rollback_write =
      testing::faultable_number_of([&] { (void)run_sandboxed(run); }, "SetNamedSecurityInfoW", 2);
  fresh_machine();
  SetUp();
  winsim::fail_call_number(rollback_write, ERROR_ACCESS_DENIED);
  EXPECT_EQ(run_sandboxed(run), 14);
  EXPECT_TRUE(log.contains("[WARN  tavo_sandbox] rollback revoke C:\\work\\a failed: " +
                           HresultError::from_win32(5).display() + "\n"))
      << log.text();
}

TEST_F(RunMode, UndoingADenyKeepsAProtectedObjectProtected) {
  const std::string owner_choice = "D:P(A;OICI;0x1f01ff;;;S-1-5-18)";
  winsim::set_stored_sddl(root / "c/work/private", owner_choice);
  tavo::Run run = command("exit 0");
  run.deny_access = {"C:\\work\\private"};
  EXPECT_EQ(run_sandboxed(run), 0);
  EXPECT_EQ(stored("c/work/private"), owner_choice);
}

// Every platform call of a run with two grants and two denies, failed alone: an allowed status,
// no leak, and no entry of the failed run left behind except grants of a run whose command ran
// and an entry whose own rollback was the failed call.
TEST_F(RunMode, AFaultAnywhereLeavesNoStrayEntry) {
  const std::string marker = root / "ran";
  tavo::Run run = command("touch " + marker);
  run.grant_rw = {"C:\\work\\a"};
  run.grant_r = {"C:\\work\\b"};
  run.deny_access = {"C:\\work\\secret", "C:\\work\\private"};
  const std::vector<std::string> held = winsim::leaks();
  const std::size_t start = winsim::faultable_calls();
  ASSERT_EQ(run_sandboxed(run), 0);
  const std::size_t calls = winsim::faultable_calls() - start;
  const std::set<int> allowed = {0, 12, 13, 14};
  for (std::size_t n = 1; n <= calls; ++n) {
    fresh_machine();
    SetUp();
    std::filesystem::remove(marker);
    testing::LogCapture log(Level::Warn);
    winsim::fail_call_number(n, ERROR_ACCESS_DENIED);
    const int status = run_sandboxed(run);
    winsim::clear_faults();
    EXPECT_TRUE(allowed.contains(status)) << "call " << n << ": status " << status;
    EXPECT_EQ(winsim::leaks(), held) << "call " << n << " leaked";
    const bool ran = root.exists("ran");
    const std::pair<const char*, const char*> entries[] = {{"C:\\work\\a", "c/work/a"},
                                                           {"C:\\work\\b", "c/work/b"},
                                                           {"C:\\work\\secret", "c/work/secret"},
                                                           {"C:\\work\\private", "c/work/private"}};
    for (const auto& [path, dir] : entries) {
      const bool is_grant =
          std::string_view(dir).ends_with("a") || std::string_view(dir).ends_with("b");
      const bool own_rollback_failed = log.contains("revoke " + std::string(path) + " failed");
      if ((is_grant && ran) || own_rollback_failed) continue;
      EXPECT_FALSE(has_our_entry(dir)) << "call " << n << " left an entry on " << path << "\n"
                                       << log.text() << stored(dir);
    }
  }
}

}  // namespace
}  // namespace tavo

// The run mode end to end against winsim: real commands, simulated file security.
#include "run_mode.h"

#include <gtest/gtest.h>
#include <winsim/testing.h>

#include <filesystem>
#include <set>

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
    // The journal directory is there from the start, so every run makes the same calls.
    for (const char* d : {"c/Windows", "c/work/a", "c/work/b", "c/work/secret", "c/work/private",
                          "c/Users/u/AppData/Local/Tavo/runs"})
      root.make_dir(d);
    root.make_dir("admin");
    root.write("admin/sid", std::string(kTestSid) + "\n");
    fresh_machine();
  }

  // A fresh machine where the SID file is as a registration leaves it: the administrators' alone.
  void fresh_machine() const {
    MachineTest::fresh_machine();
    for (const auto& [name, sddl] : {std::pair{"admin", kAdminFolder}, {"admin/sid", kAdminFile}}) {
      winsim::set_owner(root / name, "S-1-5-32-544");
      winsim::set_stored_sddl(root / name, sddl);
    }
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

  // Deny entries and what only passes on to new children give no one a hold on the folder.
  static constexpr const char* kAdminFolder =
      "D:P(D;;0x1f01ff;;;BU)(A;OICI;0x1f01ff;;;SY)(A;OICI;0x1f01ff;;;BA)(A;OICI;0x1200a9;;;BU)"
      "(A;OICIIO;0x10000000;;;CO)";
  static constexpr const char* kAdminFile =
      "D:P(A;;0x1f01ff;;;SY)(A;;0x1f01ff;;;BA)(A;;0x120089;;;BU)";

  testing::TempDir root;
  testing::ScopedEnv drives{"WINSIM_ROOT", root.path()};
  testing::ScopedEnv local{"LOCALAPPDATA", "C:\\Users\\u\\AppData\\Local"};
  const std::string owner_choice = "D:P(A;OICI;0x1f01ff;;;S-1-5-18)";
};

// The grants stay for later runs, the denies go; an object that was protected before its deny
// stays protected.
TEST_F(RunMode, ACompletedRunKeepsItsGrantsAndTakesItsDeniesBack) {
  winsim::set_stored_sddl(root / "c/work/private", owner_choice);
  EXPECT_EQ(run_sandboxed(with_entries(command("test -d " + (root / "c/work/a") + " && exit 3"))),
            3);
  EXPECT_EQ(stored("c/work/a"), "D:(A;OICI;0x1301bf;;;" + std::string(kTestSid) + ")");
  EXPECT_EQ(stored("c/work/b"), "D:(A;OICI;0x1200a9;;;" + std::string(kTestSid) + ")");
  EXPECT_EQ(stored("c/work/secret"), "");
  EXPECT_EQ(stored("c/work/private"), owner_choice);
  EXPECT_EQ(testing::dacl_calls_by_name(), std::vector<std::string>{});
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
  EXPECT_EQ(winsim::count_calls("SetSecurityInfo", "work"), 0u);
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
  const auto warnings_of_a_run = [&](std::string_view sid_file) {
    tavo::Run run = command("exit 4");
    run.sandbox_sid_file = std::string(sid_file);
    testing::LogCapture log(Level::Warn);
    EXPECT_EQ(run_sandboxed(run), 4);
    return log.text();
  };
  EXPECT_EQ(warnings_of_a_run(root / "admin/sid"), "");
  root.write("user.sid", std::string(kTestSid) + "\n");
  // In the user's folder; then in the administrators' folder, but the user's own file.
  const std::string users_file = root / "admin/user.sid";
  root.write("admin/user.sid", std::string(kTestSid) + "\n");
  for (const std::string& file : {root / "user.sid", users_file}) {
    EXPECT_EQ(warnings_of_a_run(file), "[WARN  tavo_sandbox::sandbox_profile] SID file " + file +
                                           " can be changed by non-administrators\n");
  }
}

TEST_F(RunMode, ExitCodesBecomeStatuses) {
  EXPECT_EQ(run_sandboxed(command("exit 0")), 0);
  EXPECT_EQ(run_sandboxed(command("exit 44")), 44);
  testing::LogCapture log(Level::Warn);
  EXPECT_EQ(run_sandboxed(command("kill -SEGV $$")), 14);
  EXPECT_EQ(run_sandboxed(command("kill -TERM $$")), 14);
  EXPECT_EQ(log.text(),
            "[WARN  tavo_sandbox] child terminated with NTSTATUS 0xc0000005\n"
            "[WARN  tavo_sandbox] child terminated with NTSTATUS 0xc000013a\n");
}

// Each failure before the launch: its status and its one error line, and nothing left changed.
TEST_F(RunMode, FailuresBeforeTheLaunchEndTheRunWithTheirStatus) {
  auto expect = [&](const char* what, tavo::Run run, int status, const std::string& error) {
    SCOPED_TRACE(what);
    fresh_machine();
    testing::LogCapture log(Level::Error);
    EXPECT_EQ(run_sandboxed(run), status);
    EXPECT_EQ(log.text(), "[ERROR tavo_sandbox] " + error + "\n");
    for (const char* write : {"SetSecurityInfo", "SetKernelObjectSecurity"})
      EXPECT_EQ(winsim::count_calls(write), 0u) << write;
    EXPECT_TRUE(winsim::profiles().empty());
  };
  tavo::Run network = command();
  network.sandbox_sid_file.reset();
  network.network_mode = NetworkMode::CommonDependencies;
  expect("network mode", network, 13,
         "network mode CommonDependencies requires --sandbox-sid-file (admin setup not run?)");
  tavo::Run unreadable = command();
  unreadable.sandbox_sid_file = root / "missing.sid";
  expect("SID file", unreadable, 13,
         "--sandbox-sid-file '" + (root / "missing.sid") + "' failed: network sid file '" +
             (root / "missing.sid") + "': " + IoError::from_win32(2).display() +
             " (run with `--register-sandbox-profile` as admin to fix)");
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
  // A system path anywhere refuses the run before any change, not even the NUL device's.
  tavo::Run system = with_entries(command());
  system.cwd = root / "c/work/a";
  system.grant_r.push_back("C:\\work\\..\\Windows");
  system.deny_access.push_back("C:\\Windows");
  expect("system path", system, 12, "refusing to modify ACL on system path: C:\\work\\..\\Windows");
  // A stream of an ordinary folder is refused the same way (it is the folder's DACL).
  tavo::Run stream = with_entries(command());
  stream.deny_access.push_back("C:\\work\\a::$INDEX_ALLOCATION");
  expect("stream", stream, 12,
         "refusing to modify ACL on system path: C:\\work\\a::$INDEX_ALLOCATION");
  EXPECT_EQ(winsim::count_calls("CreateProcessW"), 0u);
}

TEST_F(RunMode, AProfileNamesTheSidWithoutASidFile) {
  tavo::Run by_name = command("exit 5");
  by_name.sandbox_sid_file.reset();
  by_name.profile_name = "build-1";
  EXPECT_EQ(run_sandboxed(by_name), 5);
  EXPECT_EQ(winsim::profiles().size(), 1u);
}

TEST_F(RunMode, NonFatalStepsOnlyWarn) {
  testing::LogCapture log(Level::Warn);
  winsim::fail_every_call("SetKernelObjectSecurity", "", ERROR_ACCESS_DENIED);
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

// A failed grant, deny or launch takes back what the run added, the denies first, then the grants;
// the command does not run.
TEST_F(RunMode, AFailureAfterAChangeUndoesTheRunsEntries) {
  const std::string not_found = HresultError::from_win32(2).display();
  auto expect = [&](const char* what, tavo::Run run, int status, const std::string& error,
                    const std::vector<std::string>& writes) {
    SCOPED_TRACE(what);
    fresh_machine();
    winsim::set_stored_sddl(root / "c/work/private", owner_choice);
    testing::LogCapture log(Level::Warn);
    EXPECT_EQ(run_sandboxed(run), status);
    EXPECT_EQ(log.text(), "[ERROR tavo_sandbox] " + error + "\n");
    std::vector<std::string> written = testing::keys_of("SetSecurityInfo");
    std::erase(written, "NUL");  // the NUL device's grant stays
    EXPECT_EQ(written, writes);
    for (const char* d : {"c/work/a", "c/work/b", "c/work/secret"})
      EXPECT_EQ(stored(d), "") << d;
    EXPECT_EQ(stored("c/work/private"), owner_choice);
    EXPECT_FALSE(root.exists("ran"));
  };
  const std::string a = "C:\\work\\a", b = "C:\\work\\b", secret = "C:\\work\\secret",
                    priv = "C:\\work\\private", missing = "C:\\work\\missing";
  tavo::Run run = with_entries(command("touch " + (root / "ran")));
  tavo::Run grant_rw = run;
  grant_rw.grant_rw.push_back(missing);
  // Undone last first, on the objects the changes reached.
  auto undo = [](const std::string& path) { return "\\\\?\\" + path; };
  expect("grant_rw", grant_rw, 12, "grant_rw " + missing + " failed: " + not_found, {a, undo(a)});
  tavo::Run grant_r = run;
  grant_r.grant_r.push_back(missing);
  expect("grant_r", grant_r, 12, "grant_r " + missing + " failed: " + not_found,
         {a, b, undo(b), undo(a)});
  tavo::Run deny = run;
  deny.deny_access.push_back(missing);
  const std::vector<std::string> all_undone = {
      a, b, secret, priv, undo(priv), undo(secret), undo(b), undo(a)};
  expect("deny", deny, 12, "deny_access " + missing + " failed: " + not_found, all_undone);
  tavo::Run launch = run;
  launch.command = "no-such-program-here";
  expect("launch", launch, 14, "spawn failed: " + not_found, all_undone);
}

// A run takes back exactly what it put: what stood before it, its own or its owner's, stands
// after it, whether the run completed or failed.
TEST_F(RunMode, ARunTakesBackWhatItPutAndNothingElse) {
  const std::string sid(kTestSid);
  const std::string rw = "D:(A;OICI;0x1301bf;;;" + sid + ")";
  const std::string registered_deny =
      "D:P(D;OICI;0x1201bf;;;" + sid + ")(A;OICI;0x1f01ff;;;S-1-5-18)";
  struct Case {
    const char* what;
    std::string before;  // what c/work/a stores before the run
    std::vector<std::string> grant_rw, grant_r, deny;
    int status;
    std::string after;
  };
  const std::string a = "C:\\work\\a", missing = "C:\\work\\missing";
  const Case cases[] = {
      {"one folder denied twice, under two spellings",
       "",
       {},
       {},
       {a, "C:\\work\\..\\work\\a"},
       0,
       ""},
      {"a failed run's grant on a protected folder",
       owner_choice,
       {a, missing},
       {},
       {},
       12,
       owner_choice},
      {"a failed run naming a grant that stood", rw, {a, missing}, {}, {}, 12, rw},
      {"a failed run changing a grant's level", rw, {}, {a, missing}, {}, 12, rw},
      {"a completed run denying what was denied before",
       registered_deny,
       {},
       {},
       {a},
       0,
       registered_deny},
      {"a completed run's grant with a deny of the same folder", "", {a}, {}, {a}, 0, rw},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fresh_machine();
    winsim::set_stored_sddl(root / "c/work/a", c.before);
    tavo::Run run = command();
    run.grant_rw = c.grant_rw;
    run.grant_r = c.grant_r;
    run.deny_access = c.deny;
    EXPECT_EQ(run_sandboxed(run), c.status);
    EXPECT_EQ(stored("c/work/a"), c.after);
  }
}

TEST_F(RunMode, AFailedRollbackIsWarnedAndTheStatusStays) {
  tavo::Run run = command();
  run.command = "no-such-program-here";
  run.grant_rw = {"C:\\work\\a"};
  run.deny_access = {"C:\\work\\secret"};
  // The writes: the grant, the deny, then the rollback of the deny and of the grant.
  const std::pair<std::size_t, std::string> cases[] = {
      {3, "rollback deny-revoke C:\\work\\secret failed: "},
      {4, "rollback revoke C:\\work\\a failed: "}};
  for (const auto& [write, warning] : cases) {
    fresh_machine();
    const std::size_t number = testing::faultable_number_of([&] { (void)run_sandboxed(run); },
                                                            "SetSecurityInfo", write, "work");
    fresh_machine();
    winsim::fail_call_number(number, ERROR_ACCESS_DENIED);
    testing::LogCapture log(Level::Warn);
    EXPECT_EQ(run_sandboxed(run), 14);
    EXPECT_EQ(log.text(), "[ERROR tavo_sandbox] spawn failed: " +
                              HresultError::from_win32(2).display() + "\n[WARN  tavo_sandbox] " +
                              warning + HresultError::from_win32(5).display() + "\n");
  }
}

// Every platform call of a run with two grants and two denies, failed alone: an allowed status,
// no leak, both denies in place while a command ran, and no entry of the failed run left behind
// except grants of a run whose command ran and an entry whose own rollback was the failed call.
TEST_F(RunMode, AFaultAnywhereLeavesNoStrayEntry) {
  // The command copies the machine's state as it runs, so the test sees what it saw.
  testing::ScopedEnv state("WINSIM_STATE", root / "state");
  const tavo::Run run = with_entries(command("cp \"$WINSIM_STATE\" " + (root / "seen")));
  const std::string deny = "(D;OICI;0x1201bf;;;" + std::string(kTestSid) + ")";
  auto denied_while_running = [&](std::string_view name) {
    const std::string seen = root.read("seen");
    const std::string record = "object\t" + (root / name) + "\tD:P" + deny;
    return seen.find(record) != std::string::npos;
  };
  auto fresh = [&] {
    std::filesystem::remove(root / "state");
    std::filesystem::remove(root / "seen");
    fresh_machine();
  };
  fresh();
  const std::vector<std::string> held = winsim::leaks();
  ASSERT_EQ(run_sandboxed(run), 0);
  const std::size_t calls = winsim::faultable_calls();
  for (std::size_t n = 1; n <= calls; ++n) {
    SCOPED_TRACE("failing call " + std::to_string(n));
    fresh();
    testing::LogCapture log(Level::Warn);
    winsim::fail_call_number(n, ERROR_ACCESS_DENIED);
    const int status = run_sandboxed(run);
    winsim::clear_faults();
    EXPECT_TRUE((std::set<int>{0, 12, 13, 14}).contains(status)) << status;
    EXPECT_EQ(winsim::leaks(), held);
    const bool ran = root.exists("seen");
    if (status == 0) {
      EXPECT_TRUE(ran);
    }
    if (ran) {
      EXPECT_TRUE(denied_while_running("c/work/secret"));
      EXPECT_TRUE(denied_while_running("c/work/private"));
    }
    for (const char* name : {"a", "b", "secret", "private"}) {
      const bool grant = std::string_view(name).size() == 1;
      if ((grant && ran) || log.contains("revoke C:\\work\\" + std::string(name) + " failed"))
        continue;
      EXPECT_EQ(stored("c/work/" + std::string(name)).find(kTestSid), std::string::npos)
          << name << "\n"
          << log.text();
    }
  }
}

}  // namespace
}  // namespace tavo

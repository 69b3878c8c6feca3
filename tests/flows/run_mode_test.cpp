// The run mode end to end against winsim: real commands, simulated file security.
#include "run_mode.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <winsim/process_testing.h>
#include <winsim/testing.h>

#include <filesystem>
#include <functional>

#include "acl/acl.h"
#include "flows/host_processes.h"
#include "run_journal/ledger.h"
#include "run_session.h"
#include "support/env.h"
#include "support/faults.h"
#include "support/log_capture.h"
#include "support/machine.h"
#include "support/sids.h"
#include "support/temp_dir.h"
#include "win/error.h"
#include "win/security_descriptor.h"
#include "win/unique.h"
#include "win/wide.h"

namespace tavo {
namespace {

using testing::kTestSid;

const std::string kOwnerChoice = "D:P(A;OICI;0x1f01ff;;;S-1-5-18)";
// Deny entries and what only passes on to new children give no one a hold on the folder.
const std::string kAdminFolder =
    "D:P(D;;0x1f01ff;;;BU)(A;OICI;0x1f01ff;;;SY)(A;OICI;0x1f01ff;;;BA)(A;OICI;0x1200a9;;;BU)"
    "(A;OICIIO;0x10000000;;;CO)";
const std::string kAdminFile = "D:P(A;;0x1f01ff;;;SY)(A;;0x1f01ff;;;BA)(A;;0x120089;;;BU)";

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

  // The SID file as a registration leaves it, the administrators' alone; C:\work\private
  // protected by its owner.
  void fresh_machine() const {
    MachineTest::fresh_machine();
    for (const auto& [name, sddl] : {std::pair{"admin", kAdminFolder}, {"admin/sid", kAdminFile}}) {
      winsim::set_owner(root / name, "S-1-5-32-544");
      winsim::set_stored_sddl(root / name, sddl);
    }
    winsim::set_stored_sddl(root / "c/work/private", kOwnerChoice);
  }

  // A run of the shell code `script` with the SID file, with two grants and two denies if asked.
  tavo::Run command(std::string script = "exit 0", bool entries = false) const {
    tavo::Run run;
    run.sandbox_sid_file = root / "admin/sid";
    run.command = "sh";
    run.args = {"-c", std::move(script)};
    if (!entries) return run;
    run.grant_rw = {"C:\\work\\a"};
    run.grant_r = {"C:\\work\\b"};
    run.deny_access = {"C:\\work\\secret", "C:\\work\\private"};
    return run;
  }
  std::string stored(std::string_view name) const { return winsim::stored_sddl(root / name); }

  testing::TempDir root;
  testing::ScopedEnv drives{"WINSIM_ROOT", root.path()};
  testing::ScopedEnv local{"LOCALAPPDATA", "C:\\Users\\u\\AppData\\Local"};
};

// Every platform call of a run with two grants and two denies, failed alone. The command's own
// status means it ran with both denies in place and the run keeps its grants; any other means the
// grants went too (12 and 13: the command never started; a launch that failed is 14). Either way
// the denies go and an owner's protection stays, unless the failed call was that very rollback,
// which is warned about. The traversal and NUL device grants may fail without failing the run.
// Proves J10 and L7: a failing journal or ledger call never changes the status.
TEST_F(RunMode, WhateverCallFailsTheStatusKeepsItsPromise) {
  // The command copies the machine's state as it runs, so the test sees what it saw, and leaves a
  // process behind, which must end with the run whatever happens.
  testing::ScopedEnv state("WINSIM_STATE", root / "state");
  tavo::Run run = command(
      "cp \"$WINSIM_STATE\" " + (root / "seen") + "; sleep 30 & echo $! > " + (root / "bg.pid"),
      true);
  run.cwd = root / "c/work/a";
  // Each folder as the command saw it: its deny entry first, its protection as it was.
  const std::string deny = "(D;OICI;0x1f01ff;;;" + std::string(kTestSid) + ")";
  const std::pair<const char*, std::string> denied_as[] = {
      {"c/work/secret", "\tD:" + deny},
      {"c/work/private", "\tD:P" + deny + kOwnerChoice.substr(3)}};
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
  const std::vector<std::string> calls = testing::faultable_calls();
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
    EXPECT_TRUE(status == 0 || !(calls[n - 1].starts_with("SetKernelObjectSecurity") ||
                                 calls[n - 1] == "SetSecurityInfo NUL"));
    EXPECT_TRUE(!calls[n - 1].starts_with("CreateProcessW") || status == 14) << status;
    for (const auto& [denied, seen] : denied_as)
      EXPECT_TRUE(!ran || root.read("seen").find(root / denied + seen) != std::string::npos);
    // Each folder as the status says, unless its rollback failed, which is warned about.
    auto as_promised = [&](const std::string& name, bool promised) {
      EXPECT_TRUE(promised || log.contains("revoke C:\\work\\" + name + " failed") ||
                  log.contains("revoke C:\\work\\" + name + " left alone"))
          << name << "\n"
          << log.text();
    };
    for (const std::string grant : {"a", "b"})
      as_promised(grant,
                  (stored("c/work/" + grant).find(kTestSid) != std::string::npos) == (status == 0));
    as_promised("secret", stored("c/work/secret").empty());
    as_promised("private", stored("c/work/private") == kOwnerChoice);
  }
}

// A run not asking for a standing deny takes it back before its command; whichever of that run's
// calls about the folder or the ledger fails, the deny is never left without its record. Proves L1
// under a failure at each of those calls.
TEST_F(RunMode, AFailedTakeBackOfAStandingDenyKeepsItsRecord) {
  tavo::Run keep = command();
  keep.deny_access = {"C:\\work\\secret"};
  keep.keep_denies = true;
  const std::string ledger = "c/Users/u/AppData/Local/Tavo/ledger";
  const auto standing = [&] {
    std::filesystem::remove_all(root / ledger);
    fresh_machine();
    ASSERT_EQ(run_sandboxed(keep), 0);
    ASSERT_NE(stored("c/work/secret"), "");
  };
  ASSERT_NO_FATAL_FAILURE(standing());
  const std::size_t before = winsim::faultable_calls();
  ASSERT_EQ(run_sandboxed(command()), 0);
  ASSERT_EQ(stored("c/work/secret"), "");
  const std::vector<std::string> calls = testing::faultable_calls(before);
  std::size_t swept = 0;
  for (std::size_t n = 1; n <= calls.size(); ++n) {
    if (calls[n - 1].find("secret") == std::string::npos &&
        calls[n - 1].find("ledger") == std::string::npos)
      continue;
    ++swept;
    SCOPED_TRACE("failing call " + std::to_string(n) + ": " + calls[n - 1]);
    ASSERT_NO_FATAL_FAILURE(standing());
    winsim::fail_call_number(n, ERROR_ACCESS_DENIED);
    run_sandboxed(command());
    winsim::clear_faults();
    const std::string file = ledger + "/entries.ledger";
    const bool recorded =
        root.exists(file) &&
        root.read(file).find("standing-deny " + std::string(kTestSid)) != std::string::npos;
    EXPECT_TRUE(stored("c/work/secret").empty() || recorded) << stored("c/work/secret");
  }
  EXPECT_GT(swept, 5u);
}

// Each failure of a run: its status and its one error line; nothing of the run is left, the
// command does not run, and a failure found before the first change makes no change at all.
TEST_F(RunMode, EachFailureHasItsStatusAndItsErrorLine) {
  auto expect = [&](
                    tavo::Run run, int status, const std::string& error, bool before_changes = true,
                    const std::function<void()>& fault = [] {}) {
    SCOPED_TRACE(error);
    fresh_machine();
    fault();
    run.args = {"-c", "touch " + (root / "ran")};
    testing::LogCapture log(Level::Error);
    EXPECT_EQ(run_sandboxed(run), status);
    EXPECT_EQ(log.text(), "[ERROR tavo_sandbox] " + error + "\n");
    EXPECT_TRUE(!before_changes || winsim::count_calls("SetSecurityInfo") +
                                           winsim::count_calls("SetKernelObjectSecurity") ==
                                       0u);
    for (const char* name : {"a", "b", "secret"})
      EXPECT_EQ(stored("c/work/" + std::string(name)), "") << name;
    EXPECT_EQ(stored("c/work/private"), kOwnerChoice);
    EXPECT_FALSE(root.exists("ran"));
  };
  tavo::Run network = command();
  network.sandbox_sid_file.reset();
  network.network_mode = NetworkMode::CommonDependencies;
  expect(network, 13,
         "network mode CommonDependencies requires --sandbox-sid-file (admin setup not run?)");
  // A SID file that is no AppContainer's, or no file at all (a pipe no one writes, never read).
  root.write("everyone.sid", "S-1-1-0\n");
  ASSERT_EQ(::mkfifo((root / "fifo.sid").c_str(), 0600), 0);
  for (const auto& [file, error] :
       {std::pair{root / "everyone.sid", std::string("S-1-1-0 is not an AppContainer SID")},
        {root / "fifo.sid", "a pipe, not a regular file"}}) {
    tavo::Run run = command();
    run.sandbox_sid_file = file;
    expect(run, 13,
           "--sandbox-sid-file '" + file + "' failed: network sid file '" + file + "': " + error +
               " (run with `--register-sandbox-profile` as admin to fix)");
  }
  // One the caller may not open is refused with the platform's error.
  root.write("locked.sid", std::string(kTestSid) + "\n");
  tavo::Run locked = command();
  locked.sandbox_sid_file = root / "locked.sid";
  expect(locked, 13,
         "--sandbox-sid-file '" + root / "locked.sid" + "' failed: network sid file '" +
             root / "locked.sid" + "': " + IoError::from_win32(ERROR_ACCESS_DENIED).display() +
             " (run with `--register-sandbox-profile` as admin to fix)",
         true, [] { winsim::fail_next_call("CreateFileW", "locked.sid", ERROR_ACCESS_DENIED); });
  tavo::Run bad_profile = command();
  bad_profile.sandbox_sid_file.reset();
  bad_profile.profile_name = "not/allowed";
  expect(bad_profile, 11, "ensure profile failed: " + HresultError(0x80070057).display());
  EXPECT_TRUE(winsim::profiles().empty());
  // A system path anywhere refuses the run before any change, not even the NUL device's.
  tavo::Run system = command("", true);
  system.cwd = root / "c/work/a";
  system.deny_access.push_back("C:\\work\\..\\Windows");
  expect(system, 12, "refusing to modify ACL on system path: C:\\work\\..\\Windows");
  // A program name holding a quote: refused before the profile, a grant or the journal is made.
  tavo::Run quoted = command("", true);
  quoted.sandbox_sid_file.reset();
  quoted.command = "sh\"x";
  quoted.cwd = root / "c/work/a";
  expect(quoted, 14, "spawn failed: " + HresultError::from_win32(ERROR_INVALID_NAME).display());
  EXPECT_TRUE(winsim::profiles().empty());
  EXPECT_TRUE(std::filesystem::is_empty(root / "c/Users/u/AppData/Local/Tavo/runs"));
  // The program's own folder is refused as a system path is; so is a run whose journal could
  // grow past what recovery reads.
  tavo::Run own = command("", true);
  own.grant_rw.push_back("C:\\Users\\u\\AppData\\Local\\Tavo\\runs");
  expect(own, 12,
         "refusing to modify ACL on system path: C:\\Users\\u\\AppData\\Local\\Tavo\\runs");
  tavo::Run huge = command("", true);
  huge.grant_r.assign(3, "C:\\work\\" + std::string(std::size_t{1} << 20, 'x'));
  expect(huge, 12, "refusing the run: its journal could pass 4194304 bytes");
  tavo::Run missing = command("", true);
  missing.deny_access.push_back("C:\\work\\missing");
  expect(missing, 12,
         "deny_access C:\\work\\missing failed: " + HresultError::from_win32(2).display(), false);
}

// The NUL device is a convenience for the command: a grant that fails is warned about, once, and
// the command runs all the same.
TEST_F(RunMode, AFailedNulDeviceGrantIsOnlyWarnedAbout) {
  winsim::fail_next_call("SetSecurityInfo", "NUL", ERROR_ACCESS_DENIED);
  testing::LogCapture log(Level::Warn);
  EXPECT_EQ(run_sandboxed(command("exit 4")), 4);
  EXPECT_EQ(log.text(),
            "[WARN  tavo_sandbox] NUL device grant failed (non-fatal): SetSecurityInfo NUL "
            "failed: 5\n");
  EXPECT_EQ(winsim::dacl_sddl("NUL").find(kTestSid), std::string::npos);
}

// A session left without its end, as an early return would leave it, ends all the same: the
// deny goes, and so do the grant and its ledger record unless the run kept its grants; the
// journal is gone either way.
TEST_F(RunMode, ASessionLeftWithoutItsEndTakesBackWhatTheRunDidNotKeep) {
  const std::string granted = "D:(A;OICI;0x1301bf;;;" + std::string(kTestSid) + ")";
  for (const bool kept : {false, true}) {
    SCOPED_TRACE(kept);
    fresh_machine();
    {
      DaclEditLock lock;
      RunSession session(testing::make_sid(), lock, false, false);
      GrantNote note(session.undo(), session.placements(), "rw");
      ASSERT_TRUE(
          grant_access(session.sid(), "C:\\work\\a", AccessLevel::ReadWrite, lock.hold(), &note));
      ASSERT_TRUE(deny_access(session.sid(), "C:\\work\\secret", lock.hold(), &session.undo()));
      EXPECT_FALSE(std::filesystem::is_empty(root / "c/Users/u/AppData/Local/Tavo/runs"));
      if (kept) session.keep_grants();
    }
    EXPECT_EQ(stored("c/work/a"), kept ? granted : "");
    EXPECT_EQ(stored("c/work/secret"), "");
    auto records = Ledger(*user_ledger_folder()).read();
    ASSERT_TRUE(records) << records.error();
    EXPECT_EQ(records->size(), kept ? 1u : 0u);
    EXPECT_TRUE(std::filesystem::is_empty(root / "c/Users/u/AppData/Local/Tavo/runs"));
  }
}

// While the command runs, it moves a folder it was denied aside (the grant on its parent lets it)
// and puts a link to a folder it was never given in its place. The run takes its deny back on the
// folder it denied, wherever it is now; the link's target stays as its owner left it.
TEST_F(RunMode, ADenyIsTakenBackOnTheFolderItWasMadeOnNotThroughALinkInItsPlace) {
  root.make_dir("c/work/a/b");
  tavo::Run run = command("exit 3");
  run.grant_rw = {"C:\\work\\a"};
  run.deny_access = {"C:\\work\\a\\b"};
  winsim::replace_with_link_after("CreateProcessW", "", "C:\\work\\a\\b", "C:\\work\\private");
  testing::LogCapture log(Level::Warn);
  EXPECT_EQ(run_sandboxed(run), 3);
  EXPECT_EQ(stored("c/work/private"), kOwnerChoice);
  EXPECT_EQ(stored("c/work/a/b.swapped"), "");
  EXPECT_EQ(stored("c/work/a"), "D:(A;OICI;0x1301bf;;;" + std::string(kTestSid) + ")");
  EXPECT_EQ(log.text(), "");
}

// A folder whose DACL the caller may not change: a grant already in place needs no write and the
// run goes on; a grant that needs one fails.
TEST_F(RunMode, AnUnprivilegedRunNeedsNoWriteForAGrantInPlace) {
  testing::ScopedEnv unprivileged("WINSIM_ADMIN", "0");
  winsim::set_owner("C:\\work\\a", "S-1-5-18");
  winsim::set_stored_sddl("C:\\work\\a", "D:(A;OICI;0x1301bf;;;" + std::string(kTestSid) + ")");
  tavo::Run run = command("exit 5");
  run.grant_rw = {"C:\\work\\a"};
  EXPECT_EQ(run_sandboxed(run), 5);
  std::swap(run.grant_rw, run.grant_r);
  EXPECT_EQ(run_sandboxed(run), 12);
}

// Whoever can replace the SID file chooses the command's identity: the run says so, once, and
// goes ahead as asked. The administrators' own file goes unremarked.
TEST_F(RunMode, ASidFileOthersCanChangeIsWarnedAboutOnce) {
  root.write("user.sid", std::string(kTestSid) + "\n");
  root.write("admin/user.sid", std::string(kTestSid) + "\n");
  // In the user's folder; in the administrators' folder, but the user's own file.
  for (const std::string name : {"admin/sid", "user.sid", "admin/user.sid"}) {
    tavo::Run run = command("exit 4");
    run.sandbox_sid_file = root / name;
    testing::LogCapture log(Level::Warn);
    EXPECT_EQ(run_sandboxed(run), 4);
    EXPECT_EQ(log.text(), name == "admin/sid"
                              ? ""
                              : "[WARN  tavo_sandbox::sandbox_profile] SID file " + (root / name) +
                                    " can be changed by non-administrators\n");
  }
}

constexpr char16_t kLockName[] = u"Global\\tavo-sandbox-dacl-edit";

// Whoever takes the edit lock's name first, as another kind of object or with a DACL that shuts
// runs out, turns the lock off for everyone: each run says so once, where an administrator
// looks, and completes as it would with the lock.
TEST_F(RunMode, ALockNameTakenByOthersOnlyWarnsOnce) {
  auto descriptor = SddlDescriptor::parse("D:(A;;GA;;;SY)");  // SYSTEM alone may open it
  ASSERT_TRUE(descriptor);
  SECURITY_ATTRIBUTES system_only = descriptor->attributes();
  const std::pair<std::function<HANDLE()>, DWORD> squatters[] = {
      {[] { return CreateEventW(nullptr, TRUE, FALSE, kLockName); }, ERROR_INVALID_HANDLE},
      {[&] { return CreateMutexExW(&system_only, kLockName, 0, SYNCHRONIZE); },
       ERROR_ACCESS_DENIED},
  };
  for (const auto& [squat, error] : squatters) {
    SCOPED_TRACE(error);
    fresh_machine();
    unique_handle squatter(squat());
    ASSERT_TRUE(squatter);
    testing::LogCapture log(Level::Warn);
    EXPECT_EQ(run_sandboxed(command("exit 3", true)), 3);
    EXPECT_EQ(log.count("DACL edit lock"), 1u) << log.text();
    EXPECT_TRUE(
        log.contains("DACL edit lock Global\\tavo-sandbox-dacl-edit cannot be opened, "
                     "editing without it: " +
                     HresultError::from_win32(error).display()))
        << log.text();
    EXPECT_EQ(stored("c/work/secret"), "");
    EXPECT_EQ(stored("c/work/private"), kOwnerChoice);
  }
}

// Anyone who may wait on the lock may keep it. Another process keeping it holds a run up for
// 30 s in all, not for each edit: then the run says so once, goes on without the lock and takes
// its denies back as usual. (The one test that waits out the real budget.)
TEST_F(RunMode, ALockKeptByAnotherProcessHoldsARunUpOnceThenIsPassedBy) {
  testing::ScopedEnv state("WINSIM_STATE", root / "state");
  fresh_machine();
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t keeper = ::fork();
  if (keeper == 0) {
    HANDLE kept = CreateMutexExW(nullptr, kLockName, CREATE_MUTEX_INITIAL_OWNER, SYNCHRONIZE);
    [[maybe_unused]] auto written = ::write(ready[1], kept != nullptr ? "t" : "f", 1);
    for (;;)
      ::pause();
  }
  char byte = 0;
  ASSERT_TRUE(::read(ready[0], &byte, 1) == 1 && byte == 't');
  testing::LogCapture log(Level::Warn);
  const int status = run_sandboxed(command("exit 0", true));
  ::kill(keeper, SIGKILL);
  ::waitpid(keeper, nullptr, 0);
  ::close(ready[0]);
  ::close(ready[1]);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(log.count("DACL edit lock"), 1u) << log.text();
  EXPECT_TRUE(
      log.contains("DACL edit lock Global\\tavo-sandbox-dacl-edit still held by another "
                   "process after 30 s of waiting in all, editing without it from now on"))
      << log.text();
  EXPECT_EQ(winsim::count_calls("WaitForSingleObject", "Global\\tavo-sandbox-dacl-edit"), 1u);
  EXPECT_EQ(stored("c/work/a"), "D:(A;OICI;0x1301bf;;;" + std::string(kTestSid) + ")");
  EXPECT_EQ(stored("c/work/secret"), "");
  EXPECT_EQ(stored("c/work/private"), kOwnerChoice);
}

}  // namespace
}  // namespace tavo

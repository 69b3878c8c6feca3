// Denies kept between runs (--keep-denies), on one simulated machine: a repeat run writes no
// DACL for them, every other run of the SID starts its command without them, and however a run
// ends, a deny of the SID is never on the machine without its record in the user's ledger.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "e2e/runner.h"

namespace tavo::e2e {
namespace {

class StandingDenies : public SharedMachine {
 protected:
  // A run with `options` whose command copies the machine's state to `during` while it runs.
  std::vector<std::string> copying_run(const std::vector<std::string>& options) const {
    return run_args(options, {"/bin/sh", "-c", "cp \"$WINSIM_STATE\" " + (root / "during")});
  }

  // A run that keeps its denies of secret and git, with a grant beside them.
  void keep_denies(EnvChanges more = {}) const {
    const Outcome kept =
        run(copying_run({"--keep-denies", "--grant-rw", "C:\\work\\a", "--deny-access",
                         "C:\\work\\secret", "--deny-access", "C:\\work\\git"}),
            machine(std::move(more)));
    ASSERT_EQ(kept.status, 0) << kept.err;
  }

  std::string ledger() const {
    const std::string file = root / (std::string(kLedger) + "/entries.ledger");
    return std::filesystem::exists(file) ? root.read(std::string(kLedger) + "/entries.ledger") : "";
  }
  std::size_t standing_records() const {
    std::size_t count = 0;
    std::istringstream lines(ledger());
    for (std::string line; std::getline(lines, line);)
      count += line.starts_with(std::string("standing-deny ") + kSid) ? 1 : 0;
    return count;
  }
  // Whether the state text holds `folder`'s record with the SID's deny entry first.
  bool denied_in(const std::string& state, const std::string& folder) const {
    const std::string at = (root / ("c/work/" + folder)) + "\tD:";
    const std::size_t line = state.find(at);
    if (line == std::string::npos) return false;
    const std::string rest = state.substr(line + at.size(), state.find('\n', line) - line);
    return rest.find(std::string("(D;OICI;0x1f01ff;;;") + kSid + ")") != std::string::npos;
  }
};

// The DACL writes a traced run made, by function and key.
std::vector<std::string> dacl_writes(const std::string& trace) {
  std::vector<std::string> writes;
  std::istringstream lines(trace);
  for (std::string line; std::getline(lines, line);) {
    for (const char* write : {"SetSecurityInfo\t", "SetKernelObjectSecurity\t",
                              "SetFileSecurityW\t", "SetNamedSecurityInfoW\t"}) {
      if (line.starts_with(write)) writes.push_back(line);
    }
  }
  return writes;
}

// A run with --keep-denies leaves its denies of secret and git on the machine, each recorded as
// standing in the ledger, which only a standing deny makes version 2.
TEST_F(StandingDenies, KeptDeniesOutliveTheRunWithTheirRecords) {
  ASSERT_NO_FATAL_FAILURE(keep_denies());
  for (const char* folder : {"secret", "git"}) {
    EXPECT_TRUE(denied_in(root.read("during"), folder)) << folder;
    EXPECT_TRUE(denied_in(root.read("state"), folder)) << folder;
  }
  EXPECT_EQ(standing_records(), 2u) << ledger();
  EXPECT_TRUE(ledger().starts_with("tavo-sandbox ledger 2\n"));
}

// The repeat run finds its denies standing and writes no DACL but the NUL device's.
TEST_F(StandingDenies, ARepeatRunWritesOnlyTheNulDevicesDacl) {
  ASSERT_NO_FATAL_FAILURE(keep_denies());
  ASSERT_NO_FATAL_FAILURE(keep_denies({{"WINSIM_TRACE", root / "trace"}}));
  const std::vector<std::string> writes = dacl_writes(root.read("trace"));
  ASSERT_EQ(writes.size(), 1u) << root.read("trace");
  EXPECT_TRUE(writes.front().ends_with("\tNUL")) << writes.front();
  EXPECT_TRUE(denied_in(root.read("during"), "secret"));
  EXPECT_EQ(standing_records(), 2u);
}

// A run of the SID that does not ask for a standing deny takes it back before its command starts
// and leaves the folder as it was before the first run; one it asks for stays as it stood.
TEST_F(StandingDenies, ARunNotAskingForAStandingDenyTakesItBackBeforeItsCommand) {
  ASSERT_NO_FATAL_FAILURE(keep_denies());
  Outcome other = run(copying_run({"--deny-access", "C:\\work\\git"}), machine());
  ASSERT_EQ(other.status, 0) << other.err;
  EXPECT_FALSE(denied_in(root.read("during"), "secret"));
  EXPECT_TRUE(denied_in(root.read("during"), "git"));
  EXPECT_EQ(stored_dacl(root, "c/work/secret"), kOwnerProtected);
  EXPECT_EQ(standing_records(), 1u);

  Outcome plain = run(copying_run({}), machine());
  ASSERT_EQ(plain.status, 0) << plain.err;
  EXPECT_FALSE(denied_in(root.read("during"), "git"));
  EXPECT_EQ(stored_dacl(root, "c/work/git"), "");
  EXPECT_EQ(stored_dacl(root, "c/work/cred"), kDenied);
  EXPECT_EQ(standing_records(), 0u);
  EXPECT_FALSE(std::filesystem::exists(root / (std::string(kLedger) + "/standing-") + kSid));
}

TEST_F(StandingDenies, CleanupTakesStandingDeniesBack) {
  ASSERT_NO_FATAL_FAILURE(keep_denies());
  // (Its status tells of the test's SID file, which it may not retire.)
  run({"--cleanup", "--profile-name", "p", "--sandbox-sid-file", root / "sid", "--revoke-all"},
      machine());
  EXPECT_EQ(stored_dacl(root, "c/work/secret"), kOwnerProtected);
  EXPECT_EQ(stored_dacl(root, "c/work/git"), "");
  EXPECT_EQ(standing_records(), 0u);
}

// A grant of a standing deny's folder by a later run takes the deny away, and its record with it.
TEST_F(StandingDenies, AGrantOfTheFolderTakesTheStandingDenyAway) {
  ASSERT_EQ(run(copying_run({"--keep-denies", "--deny-access", "C:\\work\\git"}), machine()).status,
            0);
  Outcome granted = run(copying_run({"--grant-r", "C:\\work\\git"}), machine());
  ASSERT_EQ(granted.status, 0) << granted.err;
  EXPECT_FALSE(denied_in(root.read("during"), "git"));
  EXPECT_EQ(stored_dacl(root, "c/work/git"), std::string("D:(A;OICI;0x1200a9;;;") + kSid + ")");
  EXPECT_EQ(standing_records(), 0u);
}

// A run with --keep-denies killed at any one of its calls leaves each of its denies standing and
// recorded, or as before it, never placed without a record; the next run of the SID, asking for
// no deny, then takes every standing deny back and leaves the registration's deny alone. Proves
// L1 under a kill at every call.
TEST_F(StandingDenies, AKillAtAnyCallLeavesNoDenyWithoutItsRecord) {
  const std::vector<std::string> plain_run = run_args({});
  const std::vector<std::string> full_run =
      run_args({"--keep-denies", "--grant-rw", "C:\\work\\a", "--deny-access", "C:\\work\\secret",
                "--deny-access", "C:\\work\\cred"});
  ASSERT_EQ(run(full_run, machine({{"WINSIM_TRACE", root / "trace"}})).status, 0);
  ASSERT_EQ(run(plain_run, machine()).status, 0);
  ASSERT_EQ(stored_dacl(root, "c/work/secret"), kOwnerProtected);

  const std::vector<KillPoint> calls = kill_points();
  std::size_t swept = 0;
  for (const KillPoint& at : calls) {
    // The calls about the denied folder, the ledger and its marker: where a deny and its record
    // can part.
    if (at.call.find("secret") == std::string::npos && at.call.find("ledger") == std::string::npos)
      continue;
    ++swept;
    SCOPED_TRACE("killed at " + at.call);
    ASSERT_NO_FATAL_FAILURE(run_killed_at(at, full_run));
    const std::string state = root.read("state");
    EXPECT_TRUE(!denied_in(state, "secret") || standing_records() == 1u) << ledger();
    EXPECT_TRUE(denied_in(state, "cred"));
    const Outcome next = run(plain_run, machine());
    ASSERT_EQ(next.status, 0) << next.err;
    EXPECT_EQ(stored_dacl(root, "c/work/secret"), kOwnerProtected);
    EXPECT_EQ(stored_dacl(root, "c/work/cred"), kDenied);
    EXPECT_EQ(standing_records(), 0u) << ledger();
  }
  std::printf("kill points: %zu of %zu calls, no deny without its record\n", swept, calls.size());
}

}  // namespace
}  // namespace tavo::e2e

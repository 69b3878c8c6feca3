// Denies kept between runs (--keep-denies), on one simulated machine: a repeat run writes no
// DACL for them, every other run of the SID starts its command without them, and however a run
// ends, a deny of the SID is never on the machine without its record in the user's ledger.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>

#include "e2e/runner.h"

namespace tavo::e2e {
namespace {

constexpr const char* kSid = "S-1-15-2-1-2-3-4-5-6-7";
constexpr const char* kOwnerProtected = "D:P(A;OICI;0x1f01ff;;;S-1-5-18)";
constexpr const char* kDenied =
    "D:P(D;OICI;0x1f01ff;;;S-1-15-2-1-2-3-4-5-6-7)(A;OICI;0x1f01ff;;;S-1-5-18)";
constexpr const char* kLedger = "c/Users/u/AppData/Local/Tavo/ledger";

class StandingDenies : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto reason = unavailable()) GTEST_SKIP() << *reason;
    if (emulated()) GTEST_SKIP() << "needs the simulated machine shared by processes";
    for (const char* dir : {"c/work/a", "c/work/secret", "c/work/git", "c/work/cred",
                            "c/Users/u/AppData/Local/Tavo/runs"})
      root.make_dir(dir);
    root.write("sid", std::string(kSid) + "\n");
    // One folder its owner protected, one that inherits, and a credential folder a registration
    // denied: a deny no run placed, which no run takes back.
    initial_state = "winsim-state 1\nobject\t" + (root / "c/work/secret") + "\t" + kOwnerProtected +
                    "\nobject\t" + (root / "c/work/cred") + "\t" + kDenied + "\n";
    root.write("state", initial_state);
  }

  EnvChanges machine(EnvChanges more = {}) const {
    more.insert(more.end(), {{"WINSIM_ROOT", root.path()},
                             {"WINSIM_STATE", root / "state"},
                             {"LOCALAPPDATA", "C:\\Users\\u\\AppData\\Local"}});
    return more;
  }

  // A run of the SID file's SID with `options`, whose command copies the machine's state to
  // `during` while it runs.
  std::vector<std::string> run_args(std::vector<std::string> options,
                                    const std::string& during = "during") const {
    std::vector<std::string> args = {"--profile-name", "p", "--sandbox-sid-file", root / "sid"};
    args.insert(args.end(), options.begin(), options.end());
    args.insert(args.end(), {"--", "/bin/sh", "-c", "cp \"$WINSIM_STATE\" " + (root / during)});
    return args;
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

  testing::TempDir root;
  std::string initial_state;
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

// The first run places its denies and keeps them; the repeat run writes no DACL but the NUL
// device's; a run of the SID without them starts its command without them and leaves the folders
// as they were before the first run; a standing deny is taken back by cleanup.
TEST_F(StandingDenies, ARepeatRunWritesNothingAndARunNotAskingTakesThemBack) {
  const std::vector<std::string> keep = {"--keep-denies", "--grant-rw",       "C:\\work\\a",
                                         "--deny-access", "C:\\work\\secret", "--deny-access",
                                         "C:\\work\\git"};
  Outcome first = run(run_args(keep), machine());
  ASSERT_EQ(first.status, 0) << first.err;
  for (const char* folder : {"secret", "git"}) {
    EXPECT_TRUE(denied_in(root.read("during"), folder)) << folder;
    EXPECT_TRUE(denied_in(root.read("state"), folder)) << folder;
  }
  EXPECT_EQ(standing_records(), 2u) << ledger();
  EXPECT_TRUE(ledger().starts_with("tavo-sandbox ledger 2\n"));

  Outcome repeat = run(run_args(keep), machine({{"WINSIM_TRACE", root / "trace"}}));
  ASSERT_EQ(repeat.status, 0) << repeat.err;
  const std::vector<std::string> writes = dacl_writes(root.read("trace"));
  ASSERT_EQ(writes.size(), 1u) << root.read("trace");
  EXPECT_TRUE(writes.front().ends_with("\tNUL")) << writes.front();
  EXPECT_TRUE(denied_in(root.read("during"), "secret"));
  EXPECT_EQ(standing_records(), 2u);

  // Without the option and asking for one of them: the other goes before the command starts,
  // the one asked for stays, as it stood before this run.
  Outcome other = run(run_args({"--deny-access", "C:\\work\\git"}), machine());
  ASSERT_EQ(other.status, 0) << other.err;
  EXPECT_FALSE(denied_in(root.read("during"), "secret"));
  EXPECT_TRUE(denied_in(root.read("during"), "git"));
  EXPECT_EQ(stored_dacl(root, "c/work/secret"), kOwnerProtected);
  EXPECT_EQ(standing_records(), 1u);

  Outcome plain = run(run_args({}), machine());
  ASSERT_EQ(plain.status, 0) << plain.err;
  EXPECT_FALSE(denied_in(root.read("during"), "git"));
  EXPECT_EQ(stored_dacl(root, "c/work/git"), "");
  EXPECT_EQ(stored_dacl(root, "c/work/cred"), kDenied);
  EXPECT_EQ(standing_records(), 0u);
  EXPECT_FALSE(std::filesystem::exists(root / (std::string(kLedger) + "/standing-") + kSid));

  ASSERT_EQ(run(run_args(keep), machine()).status, 0);
  // (Its status tells of the test's SID file, which it may not retire.)
  run({"--cleanup", "--profile-name", "p", "--sandbox-sid-file", root / "sid", "--revoke-all"},
      machine());
  EXPECT_EQ(stored_dacl(root, "c/work/secret"), kOwnerProtected);
  EXPECT_EQ(stored_dacl(root, "c/work/git"), "");
  EXPECT_EQ(standing_records(), 0u);
}

// A grant of a standing deny's folder by a later run takes the deny away, and its record with it.
TEST_F(StandingDenies, AGrantOfTheFolderTakesTheStandingDenyAway) {
  ASSERT_EQ(run(run_args({"--keep-denies", "--deny-access", "C:\\work\\git"}), machine()).status,
            0);
  Outcome granted = run(run_args({"--grant-r", "C:\\work\\git"}), machine());
  ASSERT_EQ(granted.status, 0) << granted.err;
  EXPECT_FALSE(denied_in(root.read("during"), "git"));
  EXPECT_EQ(stored_dacl(root, "c/work/git"), std::string("D:(A;OICI;0x1200a9;;;") + kSid + ")");
  EXPECT_EQ(standing_records(), 0u);
}

// A run with --keep-denies killed at any one of its calls leaves each of its denies standing and
// recorded, or as before it, never placed without a record; the next run of the SID, asking for
// no deny, then takes every standing deny back and leaves the registration's deny alone.
TEST_F(StandingDenies, AKillAtAnyCallLeavesNoDenyWithoutItsRecord) {
  const std::vector<std::string> plain_run = {"--profile-name", "p",  "--sandbox-sid-file",
                                              root / "sid",     "--", "/bin/true"};
  std::vector<std::string> full_run = plain_run;
  full_run.insert(full_run.begin() + 4,
                  {"--keep-denies", "--grant-rw", "C:\\work\\a", "--deny-access",
                   "C:\\work\\secret", "--deny-access", "C:\\work\\cred"});
  ASSERT_EQ(run(full_run, machine({{"WINSIM_TRACE", root / "trace"}})).status, 0);
  ASSERT_EQ(run(plain_run, machine()).status, 0);
  ASSERT_EQ(stored_dacl(root, "c/work/secret"), kOwnerProtected);

  std::vector<std::string> calls;
  std::istringstream trace(root.read("trace"));
  for (std::string line; std::getline(trace, line);)
    calls.push_back(line);
  std::map<std::string, std::size_t> seen;
  std::size_t swept = 0;
  for (std::size_t i = 0; i < calls.size(); ++i) {
    const std::string function = calls[i].substr(0, calls[i].find('\t'));
    const std::size_t nth = ++seen[function];
    // The calls about the denied folder, the ledger and its marker: where a deny and its record
    // can part.
    if (calls[i].find("secret") == std::string::npos &&
        calls[i].find("ledger") == std::string::npos)
      continue;
    ++swept;
    SCOPED_TRACE("killed at call " + std::to_string(i) + ": " + calls[i]);
    std::filesystem::remove_all(root / kLedger);
    root.write("state",
               initial_state + "fault\t" + function + "\t\tdie:" + std::to_string(nth) + "\n");
    ASSERT_EQ(run(full_run, machine()).status, 128 + 9);
    std::string state = root.read("state");
    state.erase(state.find("fault\t"));
    root.write("state", state);
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

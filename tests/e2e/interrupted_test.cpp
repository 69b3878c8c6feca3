// Runs that are killed, interrupted from the console, or overlap with a run of the same SID, on
// one simulated machine: nothing they changed outlives them but what a completed run keeps.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>

#include "e2e/runner.h"

namespace tavo::e2e {
namespace {

class Interrupted : public SharedMachine {
 protected:
  std::string sid_option() const { return "--profile-name p --sandbox-sid-file " + (root / "sid"); }

  // The machine's file security: its object records, in order.
  std::string objects() const {
    std::istringstream state(root.read("state"));
    std::string out;
    for (std::string line; std::getline(state, line);) {
      // The ledger's folder and file are made when a run first records there, which depends on
      // the ledger file left by earlier runs, not on the machine's state.
      if (line.starts_with("object\t") && line.find("/Tavo/ledger") == std::string::npos)
        out += line + "\n";
    }
    return out;
  }
  // State text with the records of C:\work\secret moved to C:\work\secret.moved, as the
  // machine moves them with the folder.
  std::string moved_aside(std::string state) const {
    const std::string from = root / "c/work/secret";
    for (std::size_t at = state.find(from + "\t"); at != std::string::npos;
         at = state.find(from + "\t", at))
      state.replace(at, from.size(), from + ".moved");
    return state;
  }
  // What the ledger and the machine say of the test's SID do not disagree: every allow entry of
  // the SID on the machine (a run's lasting entries: its denies go with it) is recorded, and every
  // record whose entry is not on its object is shown so by --list-entries (asked only then: a
  // process per kill point is the sweep's main cost). Empty when they agree, else what is wrong.
  std::string ledger_disagreements() const {
    const std::string sid = kSid;
    std::string wrong;
    // The recorded objects: the last field of "KIND SID LEVEL OPTIONS PLACED IDENTITY OBJECT".
    std::vector<std::string> records;
    const std::string ledger = "c/Users/u/AppData/Local/Tavo/ledger/entries.ledger";
    std::istringstream lines(root.exists(ledger) ? root.read(ledger) : "");
    for (std::string line; std::getline(lines, line);) {
      std::size_t at = line.find(' ');
      if (at == std::string::npos || line.compare(at + 1, sid.size() + 1, sid + " ") != 0) continue;
      for (int field = 2; field < 7 && at != std::string::npos; ++field)
        at = line.find(' ', at + 1);
      if (at == std::string::npos) {
        wrong += "a record of another form: " + line + "\n";
        continue;
      }
      records.push_back(line.substr(at + 1));
    }
    // Recorded by final path (\\?\C:\...), which names the same object as C:\...
    const auto recorded = [&](const std::string& path) {
      return std::find(records.begin(), records.end(), path) != records.end() ||
             std::find(records.begin(), records.end(), "\\\\?\\" + path) != records.end();
    };
    // The machine's objects holding an allow entry of the SID, by the path a record gives.
    std::map<std::string, bool> holders;
    const std::string drive = root / "c";
    std::istringstream state(root.read("state"));
    for (std::string line; std::getline(state, line);) {
      if (!line.starts_with("object\t")) continue;
      const std::size_t tab = line.find('\t', 7);
      std::string path = line.substr(7, tab - 7);
      const std::string sddl = line.substr(tab + 1);
      bool allows = false;
      for (std::size_t at = sddl.find(sid + ")"); at != std::string::npos;
           at = sddl.find(sid + ")", at + 1))
        allows = allows || sddl.compare(sddl.rfind('(', at), 3, "(A;") == 0;
      if (!allows) continue;
      if (path.starts_with(drive)) {
        path = "C:" + path.substr(drive.size());
        std::replace(path.begin(), path.end(), '/', '\\');
        if (path == "C:") path = "C:\\";
      }
      holders[path] = true;
      if (!recorded(path)) wrong += "not recorded: " + path + "\n";
    }
    std::vector<std::string> absent;
    for (const std::string& object : records) {
      const bool final_path = object.starts_with("\\\\?\\");
      if (!holders.contains(final_path ? object.substr(4) : object)) absent.push_back(object);
    }
    if (absent.empty()) return wrong;
    const Outcome listed = run({"--list-entries", "--sandbox-sid-file", root / "sid"}, machine());
    if (listed.status != 0) return wrong + "--list-entries failed: " + listed.err;
    for (const std::string& object : absent) {
      // "SID KIND LEVEL OBJECT PLACED", tab-separated, then the mark when it is not in place.
      const std::size_t at = listed.out.find("\t" + object + "\t");
      const std::size_t end = listed.out.find('\n', at);
      if (at == std::string::npos ||
          listed.out.substr(at, end - at).find("\t(not in place") == std::string::npos)
        wrong += "recorded, not on the machine, not marked: " + object + "\n";
    }
    return wrong;
  }

  // Shell code that starts a run in the background denying `folder` with the SID file `sid`
  // (and the environment `env`, "VAR=value ..."), whose command marks `mine` and then waits for
  // `theirs`; its process id is left in $`var`.
  std::string deny_run(const std::string& var, const std::string& mine, const std::string& theirs,
                       const std::string& sid = "sid", const std::string& env = "",
                       const std::string& folder = "secret") const {
    return env + " \"$TAVO_BINARY\" --profile-name p --sandbox-sid-file " + (root / sid) +
           " --deny-access 'C:\\work\\" + folder + "' -- /bin/sh -c 'touch " + (root / mine) +
           "; " + wait_for(theirs) + "' & " + var + "=$!; ";
  }

  // Shell code that waits for the file `name` to appear, giving up after about ten seconds, so a
  // run that fails early fails the test.
  std::string wait_for(const std::string& name) const {
    return "i=0; while [ ! -e " + (root / name) +
           " ] && [ $i -lt 1000 ]; do sleep 0.01; i=$((i+1)); done; ";
  }

  // The folder denied to the test's SID while another run still ran (the state copied to
  // root/between), and back as its owner left it once every run has ended.
  void expect_denied_until_the_last_run_ends() const {
    EXPECT_NE(root.read("between").find((root / "c/work/secret") + "\t" + kDenied),
              std::string::npos)
        << root.read("between");
    EXPECT_EQ(stored_dacl(root, "c/work/secret"), kOwnerProtected);
    EXPECT_TRUE(no_journal_left());
  }
};

// A run killed at any one of its platform calls, followed by an ordinary run of the same SID,
// leaves the machine as a completed run would have if its command had started, and as before
// the killed run otherwise. Between the two, the denied folder is moved aside and a link to a
// folder no run was given takes its name: the folder's deny goes wherever it was moved, and the
// link's target stays as it was. Proves J5 and L1 under a kill at every call.
TEST_F(Interrupted, AKillAtAnyCallIsFinishedByTheNextRun) {
  const std::vector<std::string> plain_run = run_args({});
  const std::vector<std::string> full_run =
      run_args({"--grant-rw", "C:\\work\\a", "--grant-r", "C:\\work\\b", "--deny-access",
                "C:\\work\\secret", "--deny-access", "C:\\work\\cred"});
  // What the two outcomes look like: a completed run then the plain run, and the plain run alone.
  ASSERT_EQ(run(full_run, machine({{"WINSIM_TRACE", root / "trace"}})).status, 0);
  ASSERT_EQ(run(plain_run, machine()).status, 0);
  const std::string completed = objects();
  root.write("state", initial_state);
  ASSERT_EQ(run(plain_run, machine()).status, 0);
  const std::string untouched = objects();
  ASSERT_NE(completed, untouched);

  // The traced calls, each killed in turn. The command counts as started from the journal's mark
  // on: the last write before the process is created.
  const std::vector<KillPoint> calls = kill_points();
  std::size_t started_after = 0;
  for (std::size_t i = 0; i < calls.size() && calls[i].function != "CreateProcessW"; ++i) {
    if (calls[i].function == "WriteFile") started_after = i;
  }
  ASSERT_GT(started_after, 0u);

  for (std::size_t i = 0; i < calls.size(); ++i) {
    SCOPED_TRACE("killed at call " + std::to_string(i) + ": " + calls[i].call);
    ASSERT_NO_FATAL_FAILURE(run_killed_at(calls[i], full_run));
    root.write("state", moved_aside(root.read("state")));
    std::filesystem::rename(root / "c/work/secret", root / "c/work/secret.moved");
    std::filesystem::create_directory_symlink(root / "c/work/target", root / "c/work/secret");
    const Outcome next = run(plain_run, machine());
    ASSERT_EQ(next.status, 0) << next.err;
    EXPECT_EQ(objects(), moved_aside(i > started_after ? completed : untouched)) << next.err;
    EXPECT_TRUE(no_journal_left());
    EXPECT_EQ(ledger_disagreements(), "");
    std::filesystem::remove(root / "c/work/secret");
    std::filesystem::rename(root / "c/work/secret.moved", root / "c/work/secret");
  }
  std::printf("kill points: %zu, all finished by the next run\n", calls.size());
}

// Ctrl-C reaches the command, not the program: the command decides (here it takes a moment, then
// ends with 5) and the run ends as usual. Closing the console ends the command (which ignores the
// event) and the program, but not before the denies are back.
TEST_F(Interrupted, TheDeniesAreBackWhateverConsoleEventEndsTheRun) {
  const std::string started = "touch " + (root / "started") + "; ";
  for (const auto& [signal, command] :
       {std::pair<std::string, std::string>{
            "INT", "trap 'sleep 0.2; exit 5' INT; " + started + "sleep 30 & wait"},
        {"HUP", "trap '' HUP; " + started + "sleep 30; touch " + (root / "survived")}}) {
    SCOPED_TRACE(signal);
    std::filesystem::remove(root / "started");
    // The program in a process group of its own, which gets the signal as a console's would.
    const Outcome o = run_process(
        {"sh", "-c",
         "setsid \"$TAVO_BINARY\" " + sid_option() +
             " --deny-access 'C:\\work\\secret' -- /bin/sh -c \"" + command + "\" & pid=$!; " +
             wait_for("started") + "kill -" + signal + " -$pid; wait $pid; echo status=$?"},
        machine({{"RUST_LOG", "warn"}}));
    EXPECT_NE(o.out.find(signal == "INT" ? "status=5" : "status="), std::string::npos) << o.err;
    EXPECT_EQ(o.err.find("ERROR"), std::string::npos)
        << o.err;  // the command ended, nothing failed
    EXPECT_FALSE(root.exists("survived"));
    EXPECT_EQ(stored_dacl(root, "c/work/secret"), kOwnerProtected);
    EXPECT_TRUE(no_journal_left());
  }
}

// Started with its standard handles closed, the program gives its command the NUL device for
// each, not files of its own: what the command writes before it is killed with the program
// reaches no journal, and the next run finishes the killed one as usual.
TEST_F(Interrupted, ACommandStartedWithoutStandardHandlesGetsNul) {
  // In the outer shell's double quotes: \$ keeps the command's own process id for the command.
  const std::string command =
      "fds=\\$(readlink /proc/\\$\\$/fd/0 /proc/\\$\\$/fd/1 /proc/\\$\\$/fd/2); echo "
      "\\\"\\$fds\\\" > " +
      (root / "fds") + "; echo \\$\\$ > " + (root / "command.pid") +
      "; echo forged; echo forged >&2; touch " + (root / "started") + "; sleep 30";
  const Outcome o = run_process(
      {"sh", "-c",
       "\"$TAVO_BINARY\" " + sid_option() + " --grant-rw 'C:\\work\\a' --deny-access " +
           "'C:\\work\\secret' -- /bin/sh -c \"" + command + "\" <&- >&- 2>&- & pid=$!; " +
           wait_for("started") + "cat " + (root / kRuns) + "/* > " + (root / "journal") +
           "; kill -9 $pid; kill $(cat " + (root / "command.pid") + "); wait $pid; echo $?"},
      machine({{"RUST_LOG", "trace"}}));
  EXPECT_EQ(o.out, "137\n") << o.err;
  EXPECT_EQ(root.read("fds"), "/dev/null\n/dev/null\n/dev/null\n");
  const std::string journal = root.read("journal");
  EXPECT_NE(journal.find("started\n"), std::string::npos) << journal;
  EXPECT_EQ(journal.find("forged"), std::string::npos) << journal;
  EXPECT_EQ(journal.find("tavo_sandbox"), std::string::npos) << journal;  // no log line
  ASSERT_EQ(run(run_args({}), machine()).status, 0);
  EXPECT_EQ(stored_dacl(root, "c/work/secret"), kOwnerProtected);
  EXPECT_NE(stored_dacl(root, "c/work/a"), "");  // the command started: the grant stays
  EXPECT_TRUE(no_journal_left());
}

// Two runs of one SID deny one folder, the first by the same user or by another (one pool
// member's SID file, each user with a profile of their own): the first to end leaves the deny to
// the one still running, and the last to end puts the folder back as it was before the first.
TEST_F(Interrupted, ADenySharedByTwoRunsOfOneSidLastsUntilTheLastEnds) {
  root.make_dir("c/Users/x/AppData/Local");
  for (const std::string first_user : {"",
                                       "WINSIM_USER=S-1-5-21-1004336348-1177238915-682003330-1002 "
                                       "LOCALAPPDATA='C:\\Users\\x\\AppData\\Local'"}) {
    SCOPED_TRACE(first_user);
    const std::string at = first_user.empty() ? "same_" : "other_";
    const std::string script =
        deny_run("a", at + "a_running", at + "release_a", "sid", first_user) +
        wait_for(at + "a_running") + deny_run("b", at + "b_running", at + "release_b") +
        wait_for(at + "b_running") + "touch " + (root / (at + "release_a")) +
        "; wait $a; echo a=$?; cp \"$WINSIM_STATE\" " + (root / "between") + "; touch " +
        (root / (at + "release_b")) + "; wait $b; echo b=$?";
    const Outcome o = run_process({"sh", "-c", script}, machine());
    EXPECT_EQ(o.out, "a=0\nb=0\n") << o.err;
    expect_denied_until_the_last_run_ends();
    if (!first_user.empty()) {
      EXPECT_TRUE(std::filesystem::is_empty(root / "c/Users/x/AppData/Local/Tavo/runs"));
    }
  }
}

// Two SIDs deny a folder that inherits from its parent, in overlapping runs: p2, then p1, p2
// ends, p1 denies it again in a second run, both p1 runs end. The folder ends as it began,
// inheriting, with no entry of either SID and no frozen copy of what it inherits.
TEST_F(Interrupted, OverlappingDeniesOfTwoSidsLeaveTheFolderInheriting) {
  root.write("state", initial_state + "object\t" + (root / "c/work") +
                          "\tD:(A;OICI;0x1301bf;;;S-1-15-2-9-9-9-9-9-9-9)\n");
  root.write("sid2", "S-1-15-2-7-6-5-4-3-2-1\n");
  const std::string script =
      deny_run("p2", "p2_running", "release_p2", "sid2", "", "b") + wait_for("p2_running") +
      deny_run("p1a", "p1a_running", "release_p1a", "sid", "", "b") + wait_for("p1a_running") +
      "touch " + (root / "release_p2") + "; wait $p2; echo p2=$?; " +
      deny_run("p1b", "p1b_running", "release_p1b", "sid", "", "b") + wait_for("p1b_running") +
      "touch " + (root / "release_p1a") + "; wait $p1a; echo p1a=$?; touch " +
      (root / "release_p1b") + "; wait $p1b; echo p1b=$?";
  const Outcome o = run_process({"sh", "-c", script}, machine());
  EXPECT_EQ(o.out, "p2=0\np1a=0\np1b=0\n") << o.err;
  EXPECT_EQ(stored_dacl(root, "c/work/b"), "");
  EXPECT_TRUE(no_journal_left());
}

// Run A denies a folder; run B of the same SID starts and its recovery sees A alive; A is
// killed; B denies the folder; run C recovers A's journal while B runs; B ends. The folder stays
// denied while B runs and is as it began once every run has ended.
TEST_F(Interrupted, ADenyOfAKilledRunIsTakenBackByTheRunThatFoundIt) {
  const std::string script =
      deny_run("a", "a_running", "release_a") + wait_for("a_running") +
      deny_run("b", "b_running", "release_b", "sid",
               "WINSIM_DACL_READ_DELAY_MS=400 WINSIM_TRACE=" + (root / "trace_b")) +
      // B reads the NUL device's DACL after its recovery and before its deny: A dies then.
      "i=0; while ! grep -q 'GetSecurityInfo.NUL' " + (root / "trace_b") +
      " 2>/dev/null && [ $i -lt 1000 ]; do sleep 0.01; i=$((i+1)); done; kill -9 $a; touch " +
      (root / "release_a") + "; " + wait_for("b_running") + "\"$TAVO_BINARY\" " + sid_option() +
      " -- /bin/true; echo c=$?; cp \"$WINSIM_STATE\" " + (root / "between") + "; touch " +
      (root / "release_b") + "; wait $b; echo b=$?";
  const Outcome o = run_process({"sh", "-c", script}, machine());
  EXPECT_EQ(o.out, "c=0\nb=0\n") << o.err;
  expect_denied_until_the_last_run_ends();
}

}  // namespace
}  // namespace tavo::e2e

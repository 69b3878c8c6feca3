// Runs that are killed, interrupted from the console, or overlap with a run of the same SID, on
// one simulated machine: nothing they changed outlives them but what a completed run keeps.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <sstream>
#include <thread>

#include "e2e/runner.h"
#include "support/temp_dir.h"

namespace tavo::e2e {
namespace {

constexpr const char* kSid = "S-1-15-2-1-2-3-4-5-6-7";
constexpr const char* kOwnerProtected = "D:P(A;OICI;0x1f01ff;;;S-1-5-18)";

// One word for the shell, whatever it holds.
std::string shell_quoted(const std::string& word) {
  std::string out = "'";
  for (char c : word)
    out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

struct TracedCall {
  std::string function;
  std::string key;
};

class Interrupted : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto reason = unavailable()) GTEST_SKIP() << *reason;
    if (emulated()) GTEST_SKIP() << "needs the simulated machine shared by processes";
    for (const char* dir : {"c/work/a", "c/work/b", "c/work/secret", "c/work/cred",
                            "c/Users/u/AppData/Local/Tavo/runs"}) {
      root.make_dir(dir);
    }
    root.write("sid", std::string(kSid) + "\n");
    // One folder its owner protected; one credential folder the registration denied.
    initial_state = "winsim-state 1\nobject\t" + (root / "c/work/secret") + "\t" + kOwnerProtected +
                    "\nobject\t" + (root / "c/work/cred") + "\tD:P(D;OICI;0x1201bf;;;" + kSid +
                    ")(A;OICI;0x1f01ff;;;S-1-5-18)\n";
    root.write("state", initial_state);
  }

  EnvChanges machine(EnvChanges more = {}) const {
    EnvChanges env = {{"WINSIM_ROOT", root.path()},
                      {"WINSIM_STATE", root / "state"},
                      {"LOCALAPPDATA", "C:\\Users\\u\\AppData\\Local"}};
    env.insert(env.end(), more.begin(), more.end());
    return env;
  }

  std::vector<std::string> full_run() const {
    return {"--profile-name",
            "p",
            "--sandbox-sid-file",
            root / "sid",
            "--grant-rw",
            "C:\\work\\a",
            "--grant-r",
            "C:\\work\\b",
            "--deny-access",
            "C:\\work\\secret",
            "--deny-access",
            "C:\\work\\cred",
            "--",
            "/bin/true"};
  }
  std::vector<std::string> plain_run() const {
    return {"--profile-name", "p", "--sandbox-sid-file", root / "sid", "--", "/bin/true"};
  }

  // The machine's file security: its object records, in order. Faults and the rest left out.
  std::string objects() const {
    std::istringstream state(root.read("state"));
    std::string line, out;
    while (std::getline(state, line)) {
      if (line.starts_with("object\t")) out += line + "\n";
    }
    return out;
  }

  // The stored DACL of one object ("" without a record).
  std::string record_of(const std::string& name) const {
    const std::string all = objects();
    const std::string key = "object\t" + (root / name) + "\t";
    const std::size_t at = all.find(key);
    if (at == std::string::npos) return "";
    const std::size_t start = at + key.size();
    return all.substr(start, all.find('\n', start) - start);
  }

  std::vector<std::string> journals_left() const {
    std::vector<std::string> names;
    const std::filesystem::path dir = root / "c/Users/u/AppData/Local/Tavo/runs";
    if (!std::filesystem::exists(dir)) return names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
      names.push_back(entry.path().filename().string());
    return names;
  }

  // The calls of a traced run. A journal's name holds its process's id, which differs from run
  // to run: a key naming one keeps only its directory.
  std::vector<TracedCall> traced(const std::string& file) const {
    std::vector<TracedCall> calls;
    std::istringstream text(root.read(file));
    std::string line;
    while (std::getline(text, line)) {
      const std::size_t tab = line.find('\t');
      std::string key = tab == std::string::npos ? "" : line.substr(tab + 1);
      if (const std::size_t journal = key.find(".journal"); journal != std::string::npos)
        key.erase(key.find_last_of("\\/", journal) + 1);
      calls.push_back({line.substr(0, tab), key});
    }
    return calls;
  }

  // Starts the program in the background in a process group of its own; the script prints the
  // program's status once it ends. `between` runs after the command has started.
  Outcome run_interrupted(const std::vector<std::string>& args, const std::string& between) {
    std::string line = "\"$TAVO_BINARY\"";
    for (const std::string& arg : args)
      line += " " + shell_quoted(arg);
    const std::string script = "setsid " + line + " & pid=$!; " + "while [ ! -e '" +
                               (root / "started") + "' ] && kill -0 $pid; do sleep 0.01; done; " +
                               between + "; wait $pid; echo status=$?";
    return run_process({"sh", "-c", script}, machine({{"RUST_LOG", "warn"}}));
  }

  testing::TempDir root;
  std::string initial_state;
};

// A run killed at any one of its platform calls, followed by an ordinary run of the same SID,
// leaves the machine as a completed run would have if its command had started, and as before
// the killed run otherwise.
TEST_F(Interrupted, AKillAtAnyCallIsFinishedByTheNextRun) {
  // What the two outcomes look like: a completed run then the plain run, and the plain run alone.
  ASSERT_EQ(run(full_run(), machine({{"WINSIM_TRACE", root / "trace"}})).status, 0);
  ASSERT_EQ(run(plain_run(), machine()).status, 0);
  const std::string completed = objects();
  root.write("state", initial_state);
  ASSERT_EQ(run(plain_run(), machine()).status, 0);
  const std::string untouched = objects();
  ASSERT_NE(completed, untouched);

  const std::vector<TracedCall> calls = traced("trace");
  // The command counts as started from the journal's mark on: the last write before the
  // process is created.
  const auto creation = std::find_if(calls.begin(), calls.end(), [](const TracedCall& c) {
    return c.function == "CreateProcessW";
  });
  ASSERT_NE(creation, calls.end());
  const auto mark = std::find_if(std::make_reverse_iterator(creation), calls.rend(),
                                 [](const TracedCall& c) { return c.function == "WriteFile"; });
  ASSERT_NE(mark, calls.rend());
  const std::size_t started_after = static_cast<std::size_t>(calls.rend() - mark) - 1;

  std::size_t kill_points = 0;
  for (std::size_t i = 0; i < calls.size(); ++i) {
    const TracedCall& call = calls[i];
    std::size_t nth = 1;
    for (std::size_t j = 0; j < i; ++j) {
      if (calls[j].function == call.function && calls[j].key.find(call.key) != std::string::npos)
        ++nth;
    }
    root.write("state", initial_state + "fault\t" + call.function + "\t" + call.key +
                            "\tdie:" + std::to_string(nth) + "\n");
    const Outcome killed = run(full_run(), machine());
    ASSERT_EQ(killed.status, 128 + 9)
        << "call " << i << " " << call.function << " " << call.key << ": not killed\n"
        << killed.err;
    std::string state = root.read("state");
    state.erase(state.find("fault\t"), std::string::npos);  // written last
    root.write("state", state);
    const Outcome next = run(plain_run(), machine());
    ASSERT_EQ(next.status, 0) << next.err;
    EXPECT_EQ(objects(), i > started_after ? completed : untouched)
        << "killed at call " << i << ": " << call.function << " " << call.key << "\n"
        << next.err;
    EXPECT_EQ(journals_left(), std::vector<std::string>{}) << "killed at call " << i;
    ++kill_points;
  }
  RecordProperty("kill_points", static_cast<int>(kill_points));
  std::printf("kill points: %zu, all finished by the next run\n", kill_points);
}

// Ctrl-C reaches the command, not the program: the command dies of it and the run ends as usual.
TEST_F(Interrupted, CtrlCEndsTheCommandAndTheRunTakesItsDeniesBack) {
  const Outcome o = run_interrupted({"--profile-name", "p", "--sandbox-sid-file", root / "sid",
                                     "--deny-access", "C:\\work\\secret", "--", "/bin/sh", "-c",
                                     "touch '" + (root / "started") + "'; exec sleep 30"},
                                    "kill -INT -$pid");
  EXPECT_NE(o.out.find("status=14"), std::string::npos) << o.out << o.err;
  EXPECT_NE(o.err.find("child terminated with NTSTATUS 0xc000013a"), std::string::npos) << o.err;
  EXPECT_EQ(record_of("c/work/secret"), kOwnerProtected);
  EXPECT_EQ(journals_left(), std::vector<std::string>{});
}

// Closing the console ends the command (which ignores the event) and the program, but not
// before the denies are back.
TEST_F(Interrupted, AConsoleCloseTakesTheDeniesBackBeforeTheProgramEnds) {
  const Outcome o = run_interrupted({"--profile-name", "p", "--sandbox-sid-file", root / "sid",
                                     "--deny-access", "C:\\work\\a", "--", "/bin/sh", "-c",
                                     "trap '' HUP; touch '" + (root / "started") +
                                         "'; sleep 30; touch '" + (root / "survived") + "'"},
                                    "kill -HUP -$pid");
  EXPECT_NE(o.out.find("status="), std::string::npos) << o.out << o.err;
  EXPECT_FALSE(root.exists("survived"));
  EXPECT_EQ(record_of("c/work/a"), "");
  EXPECT_EQ(journals_left(), std::vector<std::string>{});
}

// Two runs of one SID deny one folder; the first to end leaves the deny to the one still running,
// and the last to end puts the folder back as it was before the first.
TEST_F(Interrupted, ADenySharedByTwoRunsOfOneSidLastsUntilTheLastEnds) {
  auto run_line = [&](const std::string& script) {
    return "\"$TAVO_BINARY\" --profile-name p --sandbox-sid-file '" + (root / "sid") +
           "' --deny-access 'C:\\work\\secret' -- /bin/sh -c '" + script + "'";
  };
  // Each wait gives up after about ten seconds, so a run that fails early fails the test.
  auto wait_for = [&](const std::string& name) {
    return "i=0; while [ ! -e " + (root / name) +
           " ] && [ $i -lt 1000 ]; do sleep 0.01; i=$((i+1)); done; ";
  };
  const std::string script =
      run_line("touch " + (root / "a_running") + "; " + wait_for("b_running")) + " & a=$!; " +
      wait_for("a_running") +
      run_line("touch " + (root / "b_running") + "; " + wait_for("release_b")) + " & b=$!; " +
      "wait $a; echo a=$?; cp \"$WINSIM_STATE\" " + (root / "between") + "; touch " +
      (root / "release_b") + "; wait $b; echo b=$?";
  const Outcome o = run_process({"sh", "-c", script}, machine());
  EXPECT_EQ(o.out, "a=0\nb=0\n") << o.err;
  const std::string denied =
      std::string("D:P(D;OICI;0x1201bf;;;") + kSid + ")(A;OICI;0x1f01ff;;;S-1-5-18)";
  EXPECT_NE(root.read("between").find((root / "c/work/secret") + "\t" + denied), std::string::npos)
      << root.read("between");
  EXPECT_EQ(record_of("c/work/secret"), kOwnerProtected);
  EXPECT_EQ(journals_left(), std::vector<std::string>{});
}

}  // namespace
}  // namespace tavo::e2e

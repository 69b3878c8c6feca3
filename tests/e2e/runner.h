// Runs the built program as a user would and collects what it gives back. TAVO_BINARY names the
// program; with TAVO_EMULATOR set (the Windows executable), it runs under that emulator.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/temp_dir.h"

namespace tavo::e2e {

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

// Environment changes for one run: a value, or nothing to remove the variable. RUST_LOG and
// RUST_LOG_STYLE are removed unless given.
using EnvChanges = std::vector<std::pair<std::string, std::optional<std::string>>>;

Outcome run(const std::vector<std::string>& args, const EnvChanges& env = {});
// Runs any program (found on PATH) the same way.
Outcome run_process(const std::vector<std::string>& argv, const EnvChanges& env = {});

// True when the program is the Windows executable under an emulator.
bool emulated();
// The form of a host path that the program understands (Z:\... under Wine).
std::string program_path(const std::string& host_path);
// The reason to skip: the Windows executable's tests need Wine. Where the program should run but
// its binary is missing (wherever Wine is installed, for the Windows executable), throws: a suite
// that cannot reach its program fails.
std::optional<std::string> unavailable();

// The stored DACL of `name` below `root` on the simulated machine whose state is root/state (""
// without a record).
std::string stored_dacl(const testing::TempDir& root, std::string_view name);

// One simulated machine that the processes of a test share through its state file: folders below
// C:\work, one protected by its owner (secret), one a registration denied (cred), one no run is
// given (target), and a SID file (root/sid) for kSid. Skips where the program is the Windows
// executable, whose machine is the emulator's.
class SharedMachine : public ::testing::Test {
 protected:
  static constexpr const char* kSid = "S-1-15-2-1-2-3-4-5-6-7";
  static constexpr const char* kOwnerProtected = "D:P(A;OICI;0x1f01ff;;;S-1-5-18)";
  // An owner-protected folder while denied to kSid.
  static constexpr const char* kDenied =
      "D:P(D;OICI;0x1f01ff;;;S-1-15-2-1-2-3-4-5-6-7)(A;OICI;0x1f01ff;;;S-1-5-18)";
  static constexpr const char* kRuns = "c/Users/u/AppData/Local/Tavo/runs";
  static constexpr const char* kLedger = "c/Users/u/AppData/Local/Tavo/ledger";

  // One call of a traced run, as the n-th call of its function: where a sweep kills a run.
  struct KillPoint {
    std::string call;  // the trace's line
    std::string function;
    std::size_t nth = 0;
  };

  void SetUp() override;

  // The environment of a program on this machine, with `more`.
  EnvChanges machine(EnvChanges more = {}) const;
  // A run of kSid's SID file with `options` and the command `command`.
  std::vector<std::string> run_args(const std::vector<std::string>& options,
                                    const std::vector<std::string>& command = {"/bin/true"}) const;
  // The calls of the run traced to root/trace.
  std::vector<KillPoint> kill_points() const;
  // Runs `args` from the initial state with no ledger, killed at `at`; the state is left as the
  // killed run left it, without the fault.
  void run_killed_at(const KillPoint& at, const std::vector<std::string>& args) const;
  bool no_journal_left() const;

  testing::TempDir root;
  std::string initial_state;
};

}  // namespace tavo::e2e

// Runs the built program as a user would and collects what it gives back. TAVO_BINARY names the
// program; with TAVO_EMULATOR set (the Windows executable), it runs under that emulator.
#pragma once

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

}  // namespace tavo::e2e

// The program run as a user starts it, on a simulated machine, and what it leaves to look up.
#pragma once

#include <fcntl.h>
#include <winsim/testing.h>

#include <string>
#include <string_view>
#include <vector>

#include "entry.h"
#include "flows/host_processes.h"
#include "support/temp_dir.h"

namespace tavo::testing {

// The program's status and what it wrote to standard output.
struct ProgramOutcome {
  int status;
  std::string out;
};

// Runs the program with `args` (without its name), standard output kept in `scratch`/stdout.
inline ProgramOutcome run_program_in(const TempDir& scratch, std::vector<std::string> args) {
  args.insert(args.begin(), "tavo-sandbox");
  int status;
  {
    RedirectedDescriptor out(1, scratch / "stdout", O_WRONLY | O_CREAT | O_TRUNC);
    status = run_program(args);
  }
  return {status, scratch.read("stdout")};
}

// The SID of the profile `name` in string form, "" when there is no such profile.
inline std::string profile_sid(std::string_view name) {
  const std::string prefix = std::string(name) + "=";
  for (const std::string& line : winsim::profiles()) {
    if (line.starts_with(prefix)) return line.substr(prefix.size());
  }
  return "";
}

}  // namespace tavo::testing

// Starting a program on Windows the way a calling application does, and collecting what it
// gives back. Only for the tests that need a real Windows machine.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tavo::windows_testing {

// How the child's standard handles are given.
enum class Stdio {
  Pipes,       // stdin from NUL; stdout and stderr each on a pipe of their own
  SharedPipe,  // stdin from NUL; stdout and stderr on one pipe (stderr=STDOUT)
  NoStdin,     // stdin absent (a null handle); stdout and stderr on pipes
};

struct ChildOutcome {
  std::uint32_t exit_code = 0;
  std::string out;  // with SharedPipe: both streams
  std::string err;
};

// Runs `command_line` (UTF-8) and waits for it. A failure to start ends the test run with the
// platform's error.
ChildOutcome run_child(const std::string& command_line, Stdio stdio = Stdio::Pipes);

// The program under test: TAVO_BINARY, or empty when it is not set.
std::string program_under_test();

// Whether this process runs with administrator rights (an elevated token).
bool is_elevated();

}  // namespace tavo::windows_testing

// Starting a program on Windows the way a calling application does, and collecting what it
// gives back. Only for the tests that need a real Windows machine.
#pragma once

#include <cstdint>
#include <string>

namespace tavo::windows_testing {

struct ChildOutcome {
  std::uint32_t exit_code = 0;
  std::string out;  // standard output and standard error, on one pipe
};

// Runs `command_line` (UTF-8) with standard input from NUL (none at all without `with_input`)
// and waits for it.
ChildOutcome run_child(const std::string& command_line, bool with_input = true);

// The program under test: TAVO_BINARY, or empty when it is not set.
std::string program_under_test();

// Whether this process runs with administrator rights (an elevated token).
bool is_elevated();

}  // namespace tavo::windows_testing

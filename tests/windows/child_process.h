// Starting a program on Windows the way a calling application does, and collecting what it
// gives back. Only for the tests that need a real Windows machine.
#pragma once

#include <cstdint>
#include <string>

namespace tavo::windows_testing {

// stdin from NUL (NoStdin: a null handle); stdout and stderr on a pipe each (SharedPipe: one).
enum class Stdio { Pipes, SharedPipe, NoStdin };

struct ChildOutcome {
  std::uint32_t exit_code = 0;
  std::string out;  // with SharedPipe: both streams
  std::string err;
};

// Runs `command_line` (UTF-8) and waits for it.
ChildOutcome run_child(const std::string& command_line, Stdio stdio = Stdio::Pipes);

// The program under test: TAVO_BINARY, or empty when it is not set.
std::string program_under_test();

// Whether this process runs with administrator rights (an elevated token).
bool is_elevated();

}  // namespace tavo::windows_testing

// The program after start-up: parse the command line, run the selected mode, give its status.
#pragma once

#include <string>
#include <vector>

namespace tavo {

// Runs the program for one argument list (the program's own name first) and returns the exit
// status. The logger must be installed first.
int run_program(const std::vector<std::string>& arguments);

}  // namespace tavo

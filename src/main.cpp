// Start-up: the logger first, then the arguments as Unicode text, then the program.
#include <string>
#include <vector>

#include "base/format.h"
#include "base/text.h"
#include "entry.h"
#include "runtime/exit_status.h"
#include "runtime/log.h"
#include "win/wide.h"

#if defined(_WIN32)
int wmain(int argc, wchar_t** argv) {
  tavo::logging::install_from_environment();
  std::vector<std::string> arguments;
  for (int i = 0; i < argc; ++i) {
    std::optional<std::string> argument = tavo::from_wide(tavo::wide_view(argv[i]));
    if (!argument) tavo::internal_failure(tavo::format("argument {} is not valid Unicode", i));
    arguments.push_back(std::move(*argument));
  }
  return tavo::run_program(arguments);
}
#else
int main(int argc, char** argv) {
  tavo::logging::install_from_environment();
  std::vector<std::string> arguments;
  for (int i = 0; i < argc; ++i) {
    if (!tavo::is_valid_utf8(argv[i])) {
      tavo::internal_failure(tavo::format("argument {} is not valid Unicode", i));
    }
    arguments.emplace_back(argv[i]);
  }
  return tavo::run_program(arguments);
}
#endif

// Start-up: the standard handles first, then the logger, then the arguments as Unicode text, then
// the program.
#include <string>
#include <utility>
#include <vector>

#include "base/format.h"
#include "base/text.h"
#include "entry.h"
#include "runtime/exit_status.h"
#include "runtime/log.h"
#include "win/std_handles.h"
#include "win/wide.h"

namespace {

// Before anything is opened: a missing slot is NUL from here on. Without that, the program could
// not keep its own files out of its command's standard handles, so it does not go on.
tavo::StdHandleSlots take_std_handles() {
  auto slots = tavo::StdHandleSlots::take();
  if (!slots) {
    tavo::internal_failure(
        tavo::format("a missing standard handle cannot be set to NUL: {}", slots.error()));
  }
  return std::move(*slots);
}

}  // namespace

#if defined(_WIN32)
int wmain(int argc, wchar_t** argv) {
  const tavo::StdHandleSlots std_handles = take_std_handles();
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
  const tavo::StdHandleSlots std_handles = take_std_handles();
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

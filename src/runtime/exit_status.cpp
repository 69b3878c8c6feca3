#include "runtime/exit_status.h"

#include <cstdlib>

#include "base/format.h"
#include "win/console.h"

namespace tavo {

int command_exit_status(std::uint32_t exit_code) {
  if (exit_code >= 0x80000000u) return kStatusLaunch;
  if (exit_code != 0 && (exit_code & 0xFF) == 0) return 1;
  return static_cast<int>(exit_code & 0xFF);
}

void internal_failure(std::string_view what) {
  console::write(console::Stream::Err, format("tavo-sandbox: internal error: {}\n", what));
  // Nothing is left to flush (output goes out with one write per line), and no cleanup may run
  // on a broken invariant.
  std::_Exit(kStatusInternal);
}

}  // namespace tavo

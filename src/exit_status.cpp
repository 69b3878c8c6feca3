#include "exit_status.h"

#include <cstdlib>

#include "format.h"
#include "win/console.h"

namespace tavo {

void internal_failure(std::string_view what) {
  console::write(console::Stream::Err, format("tavo-sandbox: internal error: {}\n", what));
  std::exit(kStatusInternal);
}

}  // namespace tavo

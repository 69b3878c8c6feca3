// The SID-file reader, given any bytes as the file. Properties: every handle, block and SID that
// winsim hands out is released once, the right way (and AddressSanitizer sees no leak); a file
// over 4 KiB is refused by its size; a message never carries more than a short prefix of the
// file's text; what is accepted is an AppContainer package SID of kind SidFile.
#include <winsim/testing.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "finding.h"
#include "sandbox_profile/sid.h"
#include "scratch_dir.h"
#include "sid/sid_text.h"

namespace tavo::fuzz {
namespace {

// The file every input is written to.
const std::string& sid_path() {
  static const std::string path = scratch_dir() + "/f.sid";
  return path;
}

void check_released() {
  const std::vector<std::string> leaks = winsim::leaks();
  const std::vector<std::string> errors = winsim::release_errors();
  if (!leaks.empty()) finding("everything handed out is released", leaks.front());
  if (!errors.empty()) finding("every release is right", errors.front());
}

}  // namespace
}  // namespace tavo::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tavo::fuzz;
  const std::string& path = sid_path();
  write_input(path, data, size);
  winsim::reset();
  {
    auto read = tavo::read_sid_file(path);
    const std::string file = "network sid file '" + path + "'";
    if (read) {
      if (size > 4096) finding("a file over 4 KiB is refused");
      auto sddl = tavo::sid_to_sddl(read->get());
      if (!sddl || !sddl->starts_with("S-1-15-2-") ||
          std::count(sddl->begin(), sddl->end(), '-') != 10) {
        finding("only an AppContainer package SID is taken", sddl ? *sddl : "(no SDDL)");
      }
    } else {
      if (size > 4096 &&
          read.error() != file + ": SID file too large (" + std::to_string(size) + " bytes)") {
        finding("a file over 4 KiB is refused by its size", read.error());
      }
      // The path, the fixed words, a system message and at most 100 bytes and "..." of the text.
      if (read.error().size() > file.size() + 300) {
        finding("a message shows only a prefix of the file", read.error());
      }
    }
  }
  check_released();
  return 0;
}

// The SID-file reader, given any bytes as the file. Properties: every handle, block and SID that
// winsim hands out is released once, the right way (and AddressSanitizer sees no leak); a file
// over 4 KiB is refused by its size; a message never carries more than a short prefix of the
// file's text; what is accepted is an AppContainer package SID.
#include <winsim/testing.h>

#include <algorithm>
#include <fstream>

#include "fuzz.h"
#include "sandbox_profile/sid_file.h"
#include "sid/sid_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using tavo::fuzz::finding;
  static const std::string path = tavo::fuzz::scratch_file("f.sid");
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data), size);
  winsim::reset();
  if (auto read = tavo::read_sid_file(path)) {
    if (size > 4096) finding("a file over 4 KiB is refused");
    auto sddl = tavo::sid_to_sddl(read->get());
    if (!sddl || !sddl->starts_with("S-1-15-2-") || std::ranges::count(*sddl, '-') != 10)
      finding("only an AppContainer package SID is taken", sddl ? *sddl : "(no SDDL)");
  } else {
    const std::string file = "network sid file '" + path + "'";
    if (size > 4096 &&
        read.error() != file + ": SID file too large (" + std::to_string(size) + " bytes)")
      finding("a file over 4 KiB is refused by its size", read.error());
    // The path, the fixed words, a system message and at most 100 bytes and "..." of the text.
    if (read.error().size() > file.size() + 300)
      finding("a message shows only a prefix of the file", read.error());
  }
  if (!winsim::leaks().empty()) finding("everything handed out is released", winsim::leaks()[0]);
  if (!winsim::release_errors().empty())
    finding("every release is right", winsim::release_errors()[0]);
  return 0;
}

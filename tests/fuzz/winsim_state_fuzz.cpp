// winsim's state-file loader, given any bytes as WINSIM_STATE: a machine loaded from the file and
// saved writes a file that loads into the same machine and saves byte for byte the same again.
// Loading never crashes, and whatever it keeps (profiles, loopback entries, objects' DACLs and
// owners, faults, records of unknown kinds) survives the round trip.
#include <stdlib.h>
#include <winsim/testing.h>
#include <winsim/win32.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "finding.h"
#include "scratch_dir.h"

namespace tavo::fuzz {
namespace {

// The state file every input is written to, which winsim takes as its machine.
const std::string& state_path() {
  static const std::string path = [] {
    std::string file = scratch_dir() + "/state";
    ::setenv("WINSIM_STATE", file.c_str(), 1);
    return file;
  }();
  return path;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The NUL device's DACL and owner as a program reads them, in binary: its `object` and `owner`
// records as the reader took them, not as the writer would put them back.
std::string nul_security() {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  PACL dacl = nullptr;
  PSID owner = nullptr;
  if (GetNamedSecurityInfoW(u"NUL", SE_FILE_OBJECT,
                            DACL_SECURITY_INFORMATION | OWNER_SECURITY_INFORMATION, &owner, nullptr,
                            &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
    return "(unreadable)";
  }
  std::string bytes(reinterpret_cast<const char*>(dacl), dacl->AclSize);
  bytes.append(reinterpret_cast<const char*>(owner), GetLengthSid(owner));
  LocalFree(descriptor);
  return bytes;
}

// What the machine holds, as a program and the test facilities see it.
struct Machine {
  std::vector<std::string> profiles;
  std::vector<std::pair<std::string, DWORD>> loopback;
  std::string nul;
  bool operator==(const Machine&) const = default;
};

// A fresh process's view of the file: every area loads its records.
Machine load() {
  winsim::reset();
  (void)winsim::stored_sddl("NUL");
  return Machine{winsim::profiles(), winsim::loopback_entries(), nul_security()};
}

// Writes the whole machine back: setting the loopback list to itself is a change that saves
// every area.
std::string save(const Machine& machine) {
  winsim::set_loopback_list(machine.loopback);
  return read_file(state_path());
}

}  // namespace
}  // namespace tavo::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tavo::fuzz;
  const std::string& path = state_path();
  write_input(path, data, size);
  const Machine first = load();
  const std::string saved = save(first);
  const Machine second = load();
  if (second != first) finding("a saved machine loads as it was", saved);
  const std::string saved_again = save(second);
  if (saved_again != saved) {
    finding("load, save, reload and save writes the same file",
            "first:\n" + saved + "\nsecond:\n" + saved_again);
  }
  winsim::reset();
  return 0;
}

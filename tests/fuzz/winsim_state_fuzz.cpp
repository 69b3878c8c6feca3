// winsim's state-file loader, given any bytes as WINSIM_STATE: a machine loaded from the file and
// saved writes a file that loads into the same machine and saves byte for byte the same again.
// Loading never crashes, and whatever it keeps (profiles, loopback entries, objects' DACLs and
// owners, faults, records of unknown kinds) survives the round trip.
#include <stdlib.h>
#include <winsim/testing.h>
#include <winsim/win32.h>

#include <fstream>
#include <sstream>

#include "fuzz.h"

namespace {

const std::string kState = [] {
  std::string path = tavo::fuzz::scratch_file("state");
  ::setenv("WINSIM_STATE", path.c_str(), 1);
  return path;
}();

// What the machine holds as a program and the test facilities see it. The NUL device's DACL and
// owner are read back in binary: as the reader took its records, not as the writer puts them.
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
  Machine machine{winsim::profiles(), winsim::loopback_entries(), "(unreadable)"};
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  PACL dacl = nullptr;
  PSID owner = nullptr;
  if (GetNamedSecurityInfoW(u"NUL", SE_FILE_OBJECT,
                            DACL_SECURITY_INFORMATION | OWNER_SECURITY_INFORMATION, &owner, nullptr,
                            &dacl, nullptr, &descriptor) == ERROR_SUCCESS) {
    machine.nul.assign(reinterpret_cast<const char*>(dacl), dacl->AclSize);
    machine.nul.append(reinterpret_cast<const char*>(owner), GetLengthSid(owner));
    LocalFree(descriptor);
  }
  return machine;
}

// Writes the whole machine back (setting the loopback list to itself is a change that saves every
// area) and returns the file.
std::string save(const Machine& machine) {
  winsim::set_loopback_list(machine.loopback);
  std::ostringstream text;
  text << std::ifstream(kState, std::ios::binary).rdbuf();
  return text.str();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using tavo::fuzz::finding;
  std::ofstream(kState, std::ios::binary).write(reinterpret_cast<const char*>(data), size);
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

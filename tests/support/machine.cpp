#include "support/machine.h"

#include "win/api.h"
#include "win/wide.h"

#if !defined(_WIN32)
#include <winsim/testing.h>
#endif

namespace tavo::testing {

MachineTest::MachineTest() {
#if !defined(_WIN32)
  winsim::reset();
#endif
}

MachineTest::~MachineTest() {
#if !defined(_WIN32)
  for (const std::string& leak : winsim::leaks())
    ADD_FAILURE() << "leak: " << leak;
  for (const std::string& error : winsim::release_errors())
    ADD_FAILURE() << "release: " << error;
#endif
}

void MachineTest::fresh_machine() {
#if !defined(_WIN32)
  winsim::reset_machine();
#endif
}

bool running_under_wine() {
#if defined(_WIN32)
  HMODULE ntdll = GetModuleHandleW(to_wide_nul("ntdll.dll").c_str());
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
  return false;
#endif
}

}  // namespace tavo::testing

#include "path_grant/all_app_packages.h"

#include <algorithm>
#include <array>
#include <vector>

#include "win/api.h"
#include "win/wide.h"

namespace tavo {
namespace {

// S-1-15-2-1 in its binary form: revision 1, two sub-authorities, authority 15, then 2 and 1.
constexpr std::array<BYTE, 16> kAllAppPackages = {0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0F,
                                                  0x02, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00};

}  // namespace

bool has_all_app_packages_ace(std::string_view path) {
  const WideString wide = to_wide_nul(path);
  DWORD needed = 0;
  GetFileSecurityW(wide.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
  if (needed == 0) return false;
  std::vector<BYTE> descriptor(needed, 0);
  if (!GetFileSecurityW(wide.c_str(), DACL_SECURITY_INFORMATION, descriptor.data(), needed,
                        &needed)) {
    return false;
  }
  // A byte search over the whole descriptor: the entry's type, mask and flags do not matter.
  return std::search(descriptor.begin(), descriptor.end(), kAllAppPackages.begin(),
                     kAllAppPackages.end()) != descriptor.end();
}

}  // namespace tavo

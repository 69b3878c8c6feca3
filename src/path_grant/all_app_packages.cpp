#include "path_grant/all_app_packages.h"

#include <algorithm>
#include <array>

#include "acl/dacl_object.h"
#include "win/api.h"

namespace tavo {
namespace {

// S-1-15-2-1 in its binary form: revision 1, two sub-authorities, authority 15, then 2 and 1.
constexpr std::array<BYTE, 16> kAllAppPackages = {0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0F,
                                                  0x02, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00};

}  // namespace

bool has_all_app_packages_ace(std::string_view path) {
  auto object = DaclObject::open_to_read(path);
  if (!object) return false;
  auto security = object->read_security();
  if (!security) return false;
  // A byte search over the whole descriptor: the entry's type, mask and flags do not matter.
  const std::span<const BYTE> bytes = security->bytes();
  return std::search(bytes.begin(), bytes.end(), kAllAppPackages.begin(), kAllAppPackages.end()) !=
         bytes.end();
}

}  // namespace tavo

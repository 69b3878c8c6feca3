#include "acl/placement.h"

namespace tavo {

void announce_placement(PlacementNotice* notice, std::string_view path, const DaclObject& object) {
  if (notice == nullptr) return;
  // Without an identity the entry is still recorded, by its final path: a later take-back then
  // reaches it only while that path is no link and leads to itself.
  auto identity = object.identity();
  notice->before_placing(Placement{
      .path = std::string(path),
      .object = object.final_path(),
      .identity = identity ? std::optional<FileIdentity>(*identity) : std::nullopt,
  });
}

}  // namespace tavo

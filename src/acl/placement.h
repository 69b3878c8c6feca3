// Lasting entries announced before they are written, so that whoever keeps account of them can
// find and take them back long after the run or registration that placed them has gone.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "acl/dacl_object.h"

#include "win/file_identity.h"

namespace tavo {

// The object a lasting entry is about to be placed on.
struct Placement {
  std::string path;                      // as the caller named it, for messages
  std::string object;                    // its final path (\\?\C:\...), or a device's name
  std::optional<FileIdentity> identity;  // none for a device
};

// Told of a lasting entry just before the write that places it; never told of an entry that is
// in place already (nothing is written then).
class PlacementNotice {
 public:
  virtual void before_placing(const Placement& placement) = 0;

 protected:
  ~PlacementNotice() = default;
};

// Tells `notice` (when there is one) of the entry about to be placed on `object`.
void announce_placement(PlacementNotice* notice, std::string_view path, const DaclObject& object);

}  // namespace tavo

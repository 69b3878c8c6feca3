// Whether a directory already admits every AppContainer.
#pragma once

#include <string_view>

namespace tavo {

// True when the DACL of `path` (used as given) names ALL APPLICATION PACKAGES (S-1-15-2-1) in any
// entry: allow or deny, explicit or inherited. False when the DACL cannot be read.
bool has_all_app_packages_ace(std::string_view path);

}  // namespace tavo

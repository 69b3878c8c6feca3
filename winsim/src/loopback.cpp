// The machine's loopback-exempt list (firewallapi.dll).
#include "internal.h"

namespace winsim::detail {
Exports firewallapi_exports() {
  return {};
}
}  // namespace winsim::detail

// AppContainer profiles (userenv.dll).
#include "internal.h"

namespace winsim::detail {
Exports userenv_exports() {
  return {};
}
}  // namespace winsim::detail

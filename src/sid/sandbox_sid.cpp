#include "sid/sandbox_sid.h"

namespace tavo {

PSID SandboxSid::get() const {
  return std::visit([](const auto& owner) -> PSID { return owner.get(); }, owner_);
}

}  // namespace tavo

#include "sid/sandbox_sid.h"

namespace tavo {

SandboxSid::SandboxSid(PSID sid, Kind kind) {
  if (kind == Kind::Profile) {
    owner_.emplace<unique_sid>(sid);
  } else {
    owner_.emplace<unique_local<void>>(sid);
  }
}

PSID SandboxSid::get() const {
  return std::visit([](const auto& owner) -> PSID { return owner.get(); }, owner_);
}

SandboxSid::Kind SandboxSid::kind() const {
  return std::holds_alternative<unique_sid>(owner_) ? Kind::Profile : Kind::SidFile;
}

}  // namespace tavo

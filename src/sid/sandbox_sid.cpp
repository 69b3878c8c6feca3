#include "sid/sandbox_sid.h"

#include <utility>

namespace tavo {

SandboxSid::SandboxSid(SandboxSid&& other) noexcept
    : sid_(std::exchange(other.sid_, nullptr)), kind_(other.kind_) {}

SandboxSid& SandboxSid::operator=(SandboxSid&& other) noexcept {
  if (this != &other) {
    release();
    sid_ = std::exchange(other.sid_, nullptr);
    kind_ = other.kind_;
  }
  return *this;
}

void SandboxSid::release() {
  PSID sid = std::exchange(sid_, nullptr);
  if (sid == nullptr) return;
  if (kind_ == Kind::Profile) {
    FreeSid(sid);
  } else {
    LocalFree(sid);
  }
}

}  // namespace tavo

// The owned SID of a sandbox, held by the owner whose release call matches how it was obtained.
#pragma once

#include <utility>
#include <variant>

#include "win/api.h"
#include "win/unique.h"

namespace tavo {

class SandboxSid {
 public:
  // The empty slot: holds nothing and releases nothing.
  SandboxSid() = default;
  // From the AppContainer profile functions: released with FreeSid.
  explicit SandboxSid(unique_sid sid) : owner_(std::move(sid)) {}
  // Converted from text: released with LocalFree.
  explicit SandboxSid(unique_local<void> sid) : owner_(std::move(sid)) {}

  // Borrowed by everything that only reads the SID.
  PSID get() const;
  explicit operator bool() const { return get() != nullptr; }

 private:
  std::variant<unique_sid, unique_local<void>> owner_;
};

}  // namespace tavo

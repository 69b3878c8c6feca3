// The owned SID of a sandbox, released with the call that matches how it was obtained.
#pragma once

#include "win/api.h"

namespace tavo {

class SandboxSid {
 public:
  enum class Kind {
    Profile,  // from the AppContainer profile functions: released with FreeSid
    SidFile,  // converted from the text of a SID file: released with LocalFree
  };

  // The empty slot: holds nothing and releases nothing.
  SandboxSid() = default;
  SandboxSid(PSID sid, Kind kind) : sid_(sid), kind_(kind) {}
  SandboxSid(SandboxSid&& other) noexcept;
  SandboxSid& operator=(SandboxSid&& other) noexcept;
  SandboxSid(const SandboxSid&) = delete;
  SandboxSid& operator=(const SandboxSid&) = delete;
  ~SandboxSid() { release(); }

  // Borrowed by everything that only reads the SID.
  PSID get() const { return sid_; }
  Kind kind() const { return kind_; }
  explicit operator bool() const { return sid_ != nullptr; }

 private:
  void release();

  PSID sid_ = nullptr;
  Kind kind_ = Kind::Profile;
};

}  // namespace tavo

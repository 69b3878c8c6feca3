// The owned SID of a sandbox, held by the owner whose release call matches how it was obtained.
#pragma once

#include <utility>
#include <variant>

#include "win/api.h"
#include "win/unique.h"

namespace tavo {

class SandboxSid {
 public:
  enum class Kind {
    Profile,  // from the AppContainer profile functions: released with FreeSid
    SidFile,  // converted from the text of a SID file: released with LocalFree
  };

  // The empty slot: holds nothing and releases nothing.
  SandboxSid() = default;
  explicit SandboxSid(unique_sid sid) : owner_(std::move(sid)) {}
  explicit SandboxSid(unique_local<void> sid) : owner_(std::move(sid)) {}
  // Takes `sid` into the owner that `kind` calls for.
  SandboxSid(PSID sid, Kind kind);

  // Borrowed by everything that only reads the SID.
  PSID get() const;
  Kind kind() const;
  explicit operator bool() const { return get() != nullptr; }

 private:
  std::variant<unique_sid, unique_local<void>> owner_;
};

}  // namespace tavo

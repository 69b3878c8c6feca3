// A security descriptor written as SDDL text, for objects that must be born with a chosen owner
// and DACL rather than with what their parent passes on.
#pragma once

#include <expected>
#include <string_view>

#include "win/api.h"
#include "win/error.h"
#include "win/unique.h"

namespace tavo {

class SddlDescriptor {
 public:
  static std::expected<SddlDescriptor, IoError> parse(std::string_view sddl);

  // For the creating calls (CreateDirectoryW, CreateFileW), which take a mutable pointer: a copy
  // pointing at this descriptor, not inheritable as a handle.
  SECURITY_ATTRIBUTES attributes() const;

  // Gives an object that already existed, held open with WRITE_DAC and WRITE_OWNER, the
  // descriptor's owner and DACL: the creating calls ignore a descriptor when the object exists.
  std::expected<void, IoError> apply_to(HANDLE object) const;

 private:
  explicit SddlDescriptor(unique_local<void> descriptor);

  unique_local<void> descriptor_;
};

}  // namespace tavo

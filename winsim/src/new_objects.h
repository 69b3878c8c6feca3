// The security a file or directory gets when a call makes it: its owner, and the DACL of the
// security descriptor the caller passed, if any.
#pragma once

#include <expected>
#include <optional>
#include <string>

#include "objects.h"

namespace winsim::detail {

struct NewObjectSecurity {
  std::optional<std::string> owner;  // the descriptor's owner (S-1 form), if it names one
  std::optional<AceList> dacl;       // the descriptor's DACL, if it has one
  bool is_protected = false;         // SE_DACL_PROTECTED in the descriptor's control
  bool auto_inherited = false;       // SE_DACL_AUTO_INHERITED in the descriptor's control
};

// What the attributes' descriptor asks of a new object, judged before anything is made: no
// descriptor asks nothing; one that is not a descriptor gives ERROR_INVALID_SECURITY_DESCR, a
// malformed DACL ERROR_INVALID_ACL, a NULL DACL (not modelled) ERROR_INVALID_PARAMETER, and an
// owner the caller may not name ERROR_INVALID_OWNER.
std::expected<NewObjectSecurity, DWORD> security_for_new_object(
    const SECURITY_ATTRIBUTES* attributes);

// Records the new object's owner (the descriptor's, or the creator's default) and its
// descriptor's DACL, which is then its whole DACL: nothing is inherited (V: Wine's
// test_CreateDirectoryA) until a propagating write on it or above it. Without a DACL it
// inherits. One state change, made only when it changes
// something. The Win32 error of a machine that could not record it, or 0.
DWORD record_new_object(const SecuredObject& object, const NewObjectSecurity& security);

}  // namespace winsim::detail

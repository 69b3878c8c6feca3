// The owner and DACL of a file or directory that CreateFileW or CreateDirectoryW makes.
#include "new_objects.h"

#include "descriptors.h"

namespace winsim::detail {

std::expected<NewObjectSecurity, DWORD> security_for_new_object(
    const SECURITY_ATTRIBUTES* attributes) {
  NewObjectSecurity wanted;
  if (attributes == nullptr || attributes->lpSecurityDescriptor == nullptr) return wanted;
  auto parts = descriptor_parts(attributes->lpSecurityDescriptor);
  if (!parts) return std::unexpected(ERROR_INVALID_SECURITY_DESCR);
  if (parts->owner != nullptr) {
    wanted.owner = sid_to_string(parts->owner);
    // (A: a user may name only itself, as without the restore privilege.)
    if (!may_assign_owner(*wanted.owner)) return std::unexpected(ERROR_INVALID_OWNER);
  }
  if (parts->control & SE_DACL_PRESENT) {
    if (parts->dacl == nullptr) return std::unexpected(ERROR_INVALID_PARAMETER);
    wanted.dacl = read_acl(parts->dacl);
    if (!wanted.dacl) return std::unexpected(ERROR_INVALID_ACL);
    wanted.is_protected = (parts->control & SE_DACL_PROTECTED) != 0;
    wanted.auto_inherited = (parts->control & SE_DACL_AUTO_INHERITED) != 0;
  }
  return wanted;
}

DWORD record_new_object(const SecuredObject& object, const NewObjectSecurity& security) {
  SecurityWrite write;
  write.owner = security.owner.value_or(creator_owner());
  if (security.dacl) {
    write.dacl = *security.dacl;
    write.protection = security.is_protected ? Protection::Protect : Protection::Unprotect;
    write.auto_inherited = security.auto_inherited;
    write.inherits_nothing = true;
  } else if (owner_of(object) == *write.owner) {
    return ERROR_SUCCESS;  // the user's own, inheriting: nothing to record
  }
  return write_security(object, write, Reach::ObjectAndChildren);
}

}  // namespace winsim::detail

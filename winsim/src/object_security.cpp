// The DACL calls on objects: by name, by handle, and the older file-security pair.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "descriptors.h"
#include "files.h"
#include "objects.h"
#include "winsim/kernel.h"

using namespace winsim::detail;

namespace {

// WINSIM_DACL_READ_DELAY_MS holds every DACL read back that long after it has its result, so a
// test can make the window between a program's read and its write wide enough to race reliably.
// Declared first in a read call, it sleeps after the result is made, on every path out, and no
// lock is held while it sleeps.
class ReadDelay {
 public:
  ReadDelay() = default;
  ReadDelay(const ReadDelay&) = delete;
  ReadDelay& operator=(const ReadDelay&) = delete;
  ~ReadDelay() {
    const char* text = std::getenv("WINSIM_DACL_READ_DELAY_MS");
    if (text == nullptr) return;
    const long ms = std::strtol(text, nullptr, 10);
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
};

// The self-relative descriptor of what `info` asks for: the DACL and the owner.
std::vector<BYTE> descriptor_of(const SecuredObject& object, SECURITY_INFORMATION info,
                                std::size_t* owner_size = nullptr) {
  const Dacl current = effective_dacl(object);
  const bool wants_owner = (info & OWNER_SECURITY_INFORMATION) != 0;
  const std::vector<BYTE> owner =
      wants_owner ? *sid_from_string(owner_of(object)) : std::vector<BYTE>{};
  if (owner_size != nullptr) *owner_size = wants_owner ? owner.size() : 0;
  return self_relative_descriptor((info & DACL_SECURITY_INFORMATION) ? &current : nullptr,
                                  wants_owner ? &owner : nullptr,
                                  is_auto_inherited(object) ? SE_DACL_AUTO_INHERITED : 0);
}

// A descriptor for the caller, allocated with LocalAlloc; the out-pointers point into it.
DWORD hand_out_descriptor(const SecuredObject& object, SECURITY_INFORMATION info, PSID* owner,
                          PSID* group, PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor,
                          std::string made_by) {
  if (info & SACL_SECURITY_INFORMATION) return ERROR_PRIVILEGE_NOT_HELD;
  if (descriptor == nullptr) return ERROR_INVALID_PARAMETER;
  std::size_t owner_size = 0;
  const std::vector<BYTE> bytes = descriptor_of(object, info, &owner_size);
  auto* block = static_cast<BYTE*>(local_alloc(bytes.size(), false, std::move(made_by)));
  if (block == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  std::memcpy(block, bytes.data(), bytes.size());
  *descriptor = block;
  // The group is not modelled: it reads as absent. The owner lies last in the block.
  if (owner != nullptr) *owner = owner_size != 0 ? block + bytes.size() - owner_size : nullptr;
  if (group != nullptr) *group = nullptr;
  if (sacl != nullptr) *sacl = nullptr;
  if (dacl != nullptr) {
    *dacl = (info & DACL_SECURITY_INFORMATION) ? reinterpret_cast<PACL>(block + 20) : nullptr;
  }
  return ERROR_SUCCESS;
}

Protection protection_of(SECURITY_INFORMATION info) {
  if (info & PROTECTED_DACL_SECURITY_INFORMATION) return Protection::Protect;
  if (info & UNPROTECTED_DACL_SECURITY_INFORMATION) return Protection::Unprotect;
  return Protection::Keep;
}

// The owner a write names, judged: none gives ERROR_INVALID_OWNER, and so does one the caller
// may not name (A: a user may name only itself, as without the restore privilege).
std::expected<std::string, DWORD> owner_to_write(const void* owner) {
  if (owner == nullptr) return std::unexpected(ERROR_INVALID_OWNER);
  if (!sid_is_valid(owner)) return std::unexpected(ERROR_INVALID_SID);
  std::string sid = sid_to_string(owner);
  if (!may_assign_owner(sid)) return std::unexpected(ERROR_INVALID_OWNER);
  return sid;
}

// The rights a write of what `info` names takes, of a handle and of the caller: WRITE_DAC for the
// DACL, WRITE_OWNER for the owner.
DWORD rights_to_write(SECURITY_INFORMATION info) {
  return ((info & DACL_SECURITY_INFORMATION) ? WRITE_DAC : 0) |
         ((info & OWNER_SECURITY_INFORMATION) ? WRITE_OWNER : 0);
}

// The owner and DACL `info` names, written in one change of the machine.
DWORD store_security_of(const SecuredObject& object, SECURITY_INFORMATION info, const void* owner,
                        const ACL* dacl) {
  if ((info & PROTECTED_DACL_SECURITY_INFORMATION) &&
      (info & UNPROTECTED_DACL_SECURITY_INFORMATION))
    return ERROR_INVALID_PARAMETER;
  // Group and SACL are not modelled; a write of them alone changes nothing.
  if (!(info & (OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION))) return ERROR_SUCCESS;
  if (!may_change_dacl(object, rights_to_write(info))) return ERROR_ACCESS_DENIED;
  SecurityWrite write;
  if (info & OWNER_SECURITY_INFORMATION) {
    auto sid = owner_to_write(owner);
    if (!sid) return sid.error();
    write.owner = std::move(*sid);
  }
  if (info & DACL_SECURITY_INFORMATION) {
    // A NULL DACL (no protection at all) is not modelled.
    if (dacl == nullptr) return ERROR_INVALID_PARAMETER;
    write.dacl = read_acl(dacl);
    if (!write.dacl) return ERROR_INVALID_ACL;
    write.protection = protection_of(info);
  }
  return write_security(object, write, Reach::ObjectAndChildren);
}

bool supported_handle_type(SE_OBJECT_TYPE type) {
  return type == SE_FILE_OBJECT || type == SE_KERNEL_OBJECT;
}

// The object behind a file handle that was opened with `rights` (READ_CONTROL to read the
// security, WRITE_DAC to change the DACL, WRITE_OWNER the owner).
std::expected<SecuredObject, DWORD> object_with_rights(HANDLE handle, DWORD rights) {
  auto file = find_handle_as<FileObject>(handle);
  if (!file) return std::unexpected(ERROR_INVALID_HANDLE);
  if ((file->granted & rights) != rights) return std::unexpected(ERROR_ACCESS_DENIED);
  return object_of_handle(handle);
}

// The file-security form of a read: a self-relative descriptor into the caller's buffer, after
// a size query. A failure leaves the needed length alone.
BOOL copy_descriptor_out(const std::expected<SecuredObject, DWORD>& object,
                         SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR descriptor, DWORD length,
                         LPDWORD needed) {
  if (needed == nullptr) return fail(ERROR_INVALID_PARAMETER, FALSE);
  if (info & SACL_SECURITY_INFORMATION) return fail(ERROR_PRIVILEGE_NOT_HELD, FALSE);
  if (!object) return fail(object.error(), FALSE);
  const std::vector<BYTE> bytes = descriptor_of(*object, info);
  *needed = static_cast<DWORD>(bytes.size());
  if (descriptor == nullptr || length < bytes.size()) return fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
  std::memcpy(descriptor, bytes.data(), bytes.size());
  return TRUE;
}

// The file-security form of a write: the descriptor's owner and DACL on this one object,
// nothing propagated, SE_DACL_AUTO_INHERITED as the descriptor has it. The protection is the
// descriptor's: SE_DACL_PROTECTED protects, its absence
// lets the object inherit (A: no source settles whether a descriptor without the bit leaves the
// protection alone; the stricter reading catches a writer that forgets to carry it).
BOOL store_descriptor(const std::expected<SecuredObject, DWORD>& object, SECURITY_INFORMATION info,
                      PSECURITY_DESCRIPTOR descriptor) {
  if (descriptor == nullptr) return fail(ERROR_INVALID_PARAMETER, FALSE);
  if (!object) return fail(object.error(), FALSE);
  if (!(info & (OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION))) return TRUE;
  if (!may_change_dacl(*object, rights_to_write(info))) return fail(ERROR_ACCESS_DENIED, FALSE);
  auto parts = descriptor_parts(descriptor);
  if (!parts) return fail(ERROR_INVALID_SECURITY_DESCR, FALSE);
  SecurityWrite write;
  if (info & OWNER_SECURITY_INFORMATION) {
    auto sid = owner_to_write(parts->owner);
    if (!sid) return fail(sid.error(), FALSE);
    write.owner = std::move(*sid);
  }
  if (info & DACL_SECURITY_INFORMATION) {
    if (parts->dacl == nullptr) return fail(ERROR_INVALID_PARAMETER, FALSE);  // no NULL DACL
    write.dacl = read_acl(parts->dacl);
    if (!write.dacl) return fail(ERROR_INVALID_ACL, FALSE);
    write.protection =
        (parts->control & SE_DACL_PROTECTED) ? Protection::Protect : Protection::Unprotect;
    // What is stored is the descriptor given, its control bits included (D).
    write.auto_inherited = (parts->control & SE_DACL_AUTO_INHERITED) != 0;
  }
  if (DWORD error = write_security(*object, write, Reach::ObjectOnly)) return fail(error, FALSE);
  return TRUE;
}

}  // namespace

DWORD GetNamedSecurityInfoW(LPCWSTR name, SE_OBJECT_TYPE type, SECURITY_INFORMATION info,
                            PSID* owner, PSID* group, PACL* dacl, PACL* sacl,
                            PSECURITY_DESCRIPTOR* descriptor) {
  const ReadDelay delay;
  if (DWORD error = enter("GetNamedSecurityInfoW", narrow(name))) return error;
  if (name == nullptr || type != SE_FILE_OBJECT) return ERROR_INVALID_PARAMETER;
  auto object = object_at_path(view(name));
  if (!object) return object.error();
  return hand_out_descriptor(*object, info, owner, group, dacl, sacl, descriptor,
                             "GetNamedSecurityInfoW");
}

DWORD SetNamedSecurityInfoW(LPWSTR name, SE_OBJECT_TYPE type, SECURITY_INFORMATION info, PSID owner,
                            PSID, PACL dacl, PACL) {
  if (DWORD error = enter("SetNamedSecurityInfoW", narrow(name))) return error;
  if (name == nullptr || type != SE_FILE_OBJECT) return ERROR_INVALID_PARAMETER;
  auto object = object_at_path(view(name));
  if (!object) return object.error();
  return store_security_of(*object, info, owner, dacl);
}

DWORD GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION info, PSID* owner,
                      PSID* group, PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor) {
  const ReadDelay delay;
  if (DWORD error = enter("GetSecurityInfo", handle_key(handle))) return error;
  if (!supported_handle_type(type)) return ERROR_INVALID_PARAMETER;
  auto object = object_with_rights(handle, READ_CONTROL);
  if (!object) return object.error();
  return hand_out_descriptor(*object, info, owner, group, dacl, sacl, descriptor,
                             "GetSecurityInfo");
}

DWORD SetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION info, PSID owner,
                      PSID, PACL dacl, PACL) {
  if (DWORD error = enter("SetSecurityInfo", handle_key(handle))) return error;
  if (!supported_handle_type(type)) return ERROR_INVALID_PARAMETER;
  auto object = object_with_rights(handle, rights_to_write(info));
  if (!object) return object.error();
  return store_security_of(*object, info, owner, dacl);
}

BOOL GetFileSecurityW(LPCWSTR name, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR descriptor,
                      DWORD length, LPDWORD needed) {
  const ReadDelay delay;
  if (DWORD error = enter("GetFileSecurityW", narrow(name))) return fail(error, FALSE);
  if (name == nullptr) return fail(ERROR_INVALID_PARAMETER, FALSE);
  return copy_descriptor_out(object_at_path(view(name)), info, descriptor, length, needed);
}

BOOL SetFileSecurityW(LPCWSTR name, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR descriptor) {
  if (DWORD error = enter("SetFileSecurityW", narrow(name))) return fail(error, FALSE);
  if (name == nullptr) return fail(ERROR_INVALID_PARAMETER, FALSE);
  return store_descriptor(object_at_path(view(name)), info, descriptor);
}

BOOL GetKernelObjectSecurity(HANDLE handle, SECURITY_INFORMATION info,
                             PSECURITY_DESCRIPTOR descriptor, DWORD length, LPDWORD needed) {
  const ReadDelay delay;
  if (DWORD error = enter("GetKernelObjectSecurity", handle_key(handle))) return fail(error, FALSE);
  return copy_descriptor_out(object_with_rights(handle, READ_CONTROL), info, descriptor, length,
                             needed);
}

BOOL SetKernelObjectSecurity(HANDLE handle, SECURITY_INFORMATION info,
                             PSECURITY_DESCRIPTOR descriptor) {
  if (DWORD error = enter("SetKernelObjectSecurity", handle_key(handle))) return fail(error, FALSE);
  return store_descriptor(object_with_rights(handle, rights_to_write(info)), info, descriptor);
}

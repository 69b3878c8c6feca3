// The DACL calls on objects: by name, by handle, and the older file-security pair.
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "descriptors.h"
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

// A descriptor for the caller, allocated with LocalAlloc; the out-pointers point into it.
DWORD hand_out_descriptor(const SecuredObject& object, SECURITY_INFORMATION info, PSID* owner,
                          PSID* group, PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor,
                          std::string made_by) {
  if (info & SACL_SECURITY_INFORMATION) return ERROR_PRIVILEGE_NOT_HELD;
  if (descriptor == nullptr) return ERROR_INVALID_PARAMETER;
  const bool wants_dacl = (info & DACL_SECURITY_INFORMATION) != 0;
  const Dacl current = effective_dacl(object);
  const std::vector<BYTE> bytes = self_relative_descriptor(wants_dacl ? &current : nullptr);
  auto* block = static_cast<BYTE*>(local_alloc(bytes.size(), false, std::move(made_by)));
  if (block == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  std::memcpy(block, bytes.data(), bytes.size());
  *descriptor = block;
  // Owner and group are not modelled: they read as absent.
  if (owner != nullptr) *owner = nullptr;
  if (group != nullptr) *group = nullptr;
  if (sacl != nullptr) *sacl = nullptr;
  if (dacl != nullptr) *dacl = wants_dacl ? reinterpret_cast<PACL>(block + 20) : nullptr;
  return ERROR_SUCCESS;
}

Protection protection_of(SECURITY_INFORMATION info) {
  if (info & PROTECTED_DACL_SECURITY_INFORMATION) return Protection::Protect;
  if (info & UNPROTECTED_DACL_SECURITY_INFORMATION) return Protection::Unprotect;
  return Protection::Keep;
}

// Changing the NUL device's DACL is an administrator's right; the user's own files may be
// changed by the user.
bool may_change(const SecuredObject& object) {
  return !object.is_nul_device() || caller_is_admin();
}

DWORD store_dacl_of(const SecuredObject& object, SECURITY_INFORMATION info, const ACL* dacl) {
  if ((info & PROTECTED_DACL_SECURITY_INFORMATION) &&
      (info & UNPROTECTED_DACL_SECURITY_INFORMATION))
    return ERROR_INVALID_PARAMETER;
  // Owner, group and SACL are not modelled; a write of them alone changes nothing.
  if (!(info & DACL_SECURITY_INFORMATION)) return ERROR_SUCCESS;
  if (!may_change(object)) return ERROR_ACCESS_DENIED;
  // A NULL DACL (no protection at all) is not modelled.
  if (dacl == nullptr) return ERROR_INVALID_PARAMETER;
  auto entries = read_acl(dacl);
  if (!entries) return ERROR_INVALID_ACL;
  return write_dacl(object, *entries, protection_of(info), Reach::ObjectAndChildren);
}

bool supported_handle_type(SE_OBJECT_TYPE type) {
  return type == SE_FILE_OBJECT || type == SE_KERNEL_OBJECT;
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

DWORD SetNamedSecurityInfoW(LPWSTR name, SE_OBJECT_TYPE type, SECURITY_INFORMATION info, PSID, PSID,
                            PACL dacl, PACL) {
  if (DWORD error = enter("SetNamedSecurityInfoW", narrow(name))) return error;
  if (name == nullptr || type != SE_FILE_OBJECT) return ERROR_INVALID_PARAMETER;
  auto object = object_at_path(view(name));
  if (!object) return object.error();
  return store_dacl_of(*object, info, dacl);
}

DWORD GetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION info, PSID* owner,
                      PSID* group, PACL* dacl, PACL* sacl, PSECURITY_DESCRIPTOR* descriptor) {
  const ReadDelay delay;
  if (DWORD error = enter("GetSecurityInfo", handle_key(handle))) return error;
  if (!supported_handle_type(type)) return ERROR_INVALID_PARAMETER;
  auto object = object_of_handle(handle);
  if (!object) return object.error();
  return hand_out_descriptor(*object, info, owner, group, dacl, sacl, descriptor,
                             "GetSecurityInfo");
}

DWORD SetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION info, PSID, PSID,
                      PACL dacl, PACL) {
  if (DWORD error = enter("SetSecurityInfo", handle_key(handle))) return error;
  if (!supported_handle_type(type)) return ERROR_INVALID_PARAMETER;
  auto object = object_of_handle(handle);
  if (!object) return object.error();
  return store_dacl_of(*object, info, dacl);
}

BOOL GetFileSecurityW(LPCWSTR name, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR descriptor,
                      DWORD length, LPDWORD needed) {
  const ReadDelay delay;
  if (DWORD error = enter("GetFileSecurityW", narrow(name))) return fail(error, FALSE);
  if (name == nullptr || needed == nullptr) return fail(ERROR_INVALID_PARAMETER, FALSE);
  if (info & SACL_SECURITY_INFORMATION) return fail(ERROR_PRIVILEGE_NOT_HELD, FALSE);
  auto object = object_at_path(view(name));
  if (!object) return fail(object.error(), FALSE);  // the needed length is left alone
  const Dacl current = effective_dacl(*object);
  const std::vector<BYTE> bytes =
      self_relative_descriptor((info & DACL_SECURITY_INFORMATION) ? &current : nullptr);
  *needed = static_cast<DWORD>(bytes.size());
  if (descriptor == nullptr || length < bytes.size()) return fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
  std::memcpy(descriptor, bytes.data(), bytes.size());
  return TRUE;
}

BOOL SetFileSecurityW(LPCWSTR name, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR descriptor) {
  if (DWORD error = enter("SetFileSecurityW", narrow(name))) return fail(error, FALSE);
  if (name == nullptr || descriptor == nullptr) return fail(ERROR_INVALID_PARAMETER, FALSE);
  auto object = object_at_path(view(name));
  if (!object) return fail(object.error(), FALSE);
  if (!(info & DACL_SECURITY_INFORMATION)) return TRUE;
  if (!may_change(*object)) return fail(ERROR_ACCESS_DENIED, FALSE);
  auto parts = descriptor_dacl(descriptor);
  if (!parts) return fail(ERROR_INVALID_SECURITY_DESCR, FALSE);
  if (parts->dacl == nullptr) return fail(ERROR_INVALID_PARAMETER, FALSE);  // no NULL DACL
  auto entries = read_acl(parts->dacl);
  if (!entries) return fail(ERROR_INVALID_ACL, FALSE);
  // The protection stays as it was unless the descriptor asks for a protected DACL.
  const Protection protection =
      (parts->control & SE_DACL_PROTECTED) ? Protection::Protect : Protection::Keep;
  if (DWORD error = write_dacl(*object, *entries, protection, Reach::ObjectOnly))
    return fail(error, FALSE);
  return TRUE;
}

// Security descriptors: building the self-relative form, reading either form, and the
// descriptor calls.
#include "descriptors.h"

#include <cstring>

#include "winsim/kernel.h"

namespace winsim::detail {
namespace {

// Self-relative layout: revision, 0, control, then the offsets of owner, group, SACL and DACL.
constexpr std::size_t kSelfRelativeHeader = 20;
constexpr std::size_t kOwnerOffsetField = 4;
constexpr std::size_t kDaclOffsetField = 16;

void put_offset(std::vector<BYTE>& bytes, std::size_t field, std::size_t offset) {
  const auto value = static_cast<DWORD>(offset);
  std::memcpy(bytes.data() + field, &value, 4);
}

// The offset a self-relative descriptor keeps in `field`; nothing when it points into the header.
std::optional<DWORD> read_offset(const BYTE* bytes, std::size_t field) {
  DWORD offset;
  std::memcpy(&offset, bytes + field, 4);
  if (offset != 0 && offset < kSelfRelativeHeader) return std::nullopt;
  return offset;
}

}  // namespace

std::vector<BYTE> self_relative_descriptor(const Dacl* dacl, const std::vector<BYTE>* owner,
                                           SECURITY_DESCRIPTOR_CONTROL dacl_flags) {
  SECURITY_DESCRIPTOR_CONTROL control = SE_SELF_RELATIVE;
  std::size_t acl_size = 0;
  if (dacl != nullptr) {
    control |= SE_DACL_PRESENT | dacl_flags;
    if (dacl->is_protected) control |= SE_DACL_PROTECTED;
    acl_size = acl_bytes_in_use(dacl->entries);
  }
  // The DACL first, then the owner, in the order the platform lays them out.
  const std::size_t owner_at = kSelfRelativeHeader + acl_size;
  std::vector<BYTE> bytes(owner_at + (owner != nullptr ? owner->size() : 0), 0);
  bytes[0] = SECURITY_DESCRIPTOR_REVISION;
  std::memcpy(bytes.data() + 2, &control, 2);
  if (dacl != nullptr) {
    put_offset(bytes, kDaclOffsetField, kSelfRelativeHeader);
    write_acl(dacl->entries, acl_size, bytes.data() + kSelfRelativeHeader);
  }
  if (owner != nullptr) {
    put_offset(bytes, kOwnerOffsetField, owner_at);
    std::memcpy(bytes.data() + owner_at, owner->data(), owner->size());
  }
  return bytes;
}

std::optional<DescriptorParts> descriptor_parts(const void* descriptor) {
  if (descriptor == nullptr) return std::nullopt;
  const auto* bytes = static_cast<const BYTE*>(descriptor);
  if (bytes[0] != SECURITY_DESCRIPTOR_REVISION) return std::nullopt;
  DescriptorParts out;
  std::memcpy(&out.control, bytes + 2, 2);
  const bool self_relative = (out.control & SE_SELF_RELATIVE) != 0;
  if (self_relative) {
    auto owner = read_offset(bytes, kOwnerOffsetField);
    if (!owner) return std::nullopt;
    out.owner = *owner == 0 ? nullptr : bytes + *owner;
  } else {
    out.owner = static_cast<const SECURITY_DESCRIPTOR*>(descriptor)->Owner;
  }
  if (out.owner != nullptr && !sid_is_valid(out.owner)) return std::nullopt;
  if (!(out.control & SE_DACL_PRESENT)) return out;
  if (self_relative) {
    auto offset = read_offset(bytes, kDaclOffsetField);
    if (!offset) return std::nullopt;
    out.dacl = *offset == 0 ? nullptr : reinterpret_cast<const ACL*>(bytes + *offset);
  } else {
    out.dacl = static_cast<const SECURITY_DESCRIPTOR*>(descriptor)->Dacl;
  }
  return out;
}

}  // namespace winsim::detail

using namespace winsim::detail;

BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision) {
  if (DWORD error = enter("InitializeSecurityDescriptor")) return fail(error, FALSE);
  if (descriptor == nullptr) return fail(ERROR_INVALID_PARAMETER, FALSE);
  if (revision != SECURITY_DESCRIPTOR_REVISION) return fail(ERROR_UNKNOWN_REVISION, FALSE);
  auto* sd = static_cast<SECURITY_DESCRIPTOR*>(descriptor);
  *sd = SECURITY_DESCRIPTOR{};
  sd->Revision = SECURITY_DESCRIPTOR_REVISION;
  return TRUE;
}

BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL present, PACL dacl,
                               BOOL defaulted) {
  if (DWORD error = enter("SetSecurityDescriptorDacl")) return fail(error, FALSE);
  if (descriptor == nullptr) return fail(ERROR_INVALID_PARAMETER, FALSE);
  auto* sd = static_cast<SECURITY_DESCRIPTOR*>(descriptor);
  if (sd->Revision != SECURITY_DESCRIPTOR_REVISION) return fail(ERROR_UNKNOWN_REVISION, FALSE);
  // Only the absolute form holds pointers that can be set.
  if (sd->Control & SE_SELF_RELATIVE) return fail(ERROR_INVALID_SECURITY_DESCR, FALSE);
  sd->Control &= static_cast<SECURITY_DESCRIPTOR_CONTROL>(~(SE_DACL_PRESENT | SE_DACL_DEFAULTED));
  sd->Dacl = nullptr;
  if (present) {
    sd->Control |= SE_DACL_PRESENT;
    sd->Dacl = dacl;
    if (defaulted) sd->Control |= SE_DACL_DEFAULTED;
  }
  return TRUE;
}

BOOL GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, LPBOOL present, PACL* dacl,
                               LPBOOL defaulted) {
  if (DWORD error = enter("GetSecurityDescriptorDacl")) return fail(error, FALSE);
  if (descriptor == nullptr || present == nullptr || dacl == nullptr || defaulted == nullptr)
    return fail(ERROR_INVALID_PARAMETER, FALSE);
  auto view = descriptor_parts(descriptor);
  if (!view) return fail(ERROR_UNKNOWN_REVISION, FALSE);
  *present = (view->control & SE_DACL_PRESENT) ? TRUE : FALSE;
  // As on the platform, the DACL and its defaulted flag are left alone when no DACL is present.
  if (*present) {
    *dacl = const_cast<PACL>(view->dacl);
    *defaulted = (view->control & SE_DACL_DEFAULTED) ? TRUE : FALSE;
  }
  return TRUE;
}

BOOL GetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR descriptor, PSID* owner, LPBOOL defaulted) {
  if (DWORD error = enter("GetSecurityDescriptorOwner")) return fail(error, FALSE);
  if (descriptor == nullptr || owner == nullptr || defaulted == nullptr)
    return fail(ERROR_INVALID_PARAMETER, FALSE);
  auto view = descriptor_parts(descriptor);
  if (!view) return fail(ERROR_UNKNOWN_REVISION, FALSE);
  *owner = const_cast<void*>(view->owner);
  *defaulted = (view->control & SE_OWNER_DEFAULTED) ? TRUE : FALSE;
  return TRUE;
}

BOOL GetSecurityDescriptorControl(PSECURITY_DESCRIPTOR descriptor,
                                  PSECURITY_DESCRIPTOR_CONTROL control, LPDWORD revision) {
  if (DWORD error = enter("GetSecurityDescriptorControl")) return fail(error, FALSE);
  if (descriptor == nullptr || control == nullptr || revision == nullptr)
    return fail(ERROR_INVALID_PARAMETER, FALSE);
  const auto* bytes = static_cast<const BYTE*>(descriptor);
  if (bytes[0] != SECURITY_DESCRIPTOR_REVISION) return fail(ERROR_UNKNOWN_REVISION, FALSE);
  std::memcpy(control, bytes + 2, 2);
  *revision = bytes[0];
  return TRUE;
}

BOOL SetSecurityDescriptorControl(PSECURITY_DESCRIPTOR descriptor,
                                  SECURITY_DESCRIPTOR_CONTROL interest,
                                  SECURITY_DESCRIPTOR_CONTROL set) {
  if (DWORD error = enter("SetSecurityDescriptorControl")) return fail(error, FALSE);
  constexpr SECURITY_DESCRIPTOR_CONTROL kSettable =
      SE_DACL_AUTO_INHERIT_REQ | SE_SACL_AUTO_INHERIT_REQ | SE_DACL_AUTO_INHERITED |
      SE_SACL_AUTO_INHERITED | SE_DACL_PROTECTED | SE_SACL_PROTECTED;
  if (descriptor == nullptr || ((interest | set) & ~kSettable) != 0)
    return fail(ERROR_INVALID_PARAMETER, FALSE);
  auto* bytes = static_cast<BYTE*>(descriptor);
  if (bytes[0] != SECURITY_DESCRIPTOR_REVISION) return fail(ERROR_UNKNOWN_REVISION, FALSE);
  // The control word sits at the same place in both forms.
  SECURITY_DESCRIPTOR_CONTROL control;
  std::memcpy(&control, bytes + 2, 2);
  control = static_cast<SECURITY_DESCRIPTOR_CONTROL>((control & ~interest) | (set & interest));
  std::memcpy(bytes + 2, &control, 2);
  return TRUE;
}

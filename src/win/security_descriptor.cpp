#include "win/security_descriptor.h"

#include "win/wide.h"

namespace tavo {

SddlDescriptor::SddlDescriptor(unique_local<void> descriptor)
    : descriptor_(std::move(descriptor)) {}

SECURITY_ATTRIBUTES SddlDescriptor::attributes() const {
  SECURITY_ATTRIBUTES attributes{};
  attributes.nLength = sizeof attributes;
  attributes.lpSecurityDescriptor = descriptor_.get();
  attributes.bInheritHandle = FALSE;
  return attributes;
}

std::expected<SddlDescriptor, IoError> SddlDescriptor::parse(std::string_view sddl) {
  unique_local<void> descriptor;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
          to_wide_nul(sddl).c_str(), SDDL_REVISION_1, descriptor.put(), nullptr)) {
    return std::unexpected(IoError::from_last_error());
  }
  return SddlDescriptor(std::move(descriptor));
}

std::expected<void, IoError> SddlDescriptor::apply_to(HANDLE object) const {
  PSID owner = nullptr;
  BOOL owner_defaulted = FALSE;
  PACL dacl = nullptr;
  BOOL dacl_present = FALSE;
  BOOL dacl_defaulted = FALSE;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (!GetSecurityDescriptorOwner(descriptor_.get(), &owner, &owner_defaulted) ||
      !GetSecurityDescriptorDacl(descriptor_.get(), &dacl_present, &dacl, &dacl_defaulted) ||
      !GetSecurityDescriptorControl(descriptor_.get(), &control, &revision)) {
    return std::unexpected(IoError::from_last_error());
  }
  SECURITY_INFORMATION info = 0;
  if (owner != nullptr) info |= OWNER_SECURITY_INFORMATION;
  if (dacl_present) {
    info |= DACL_SECURITY_INFORMATION |
            ((control & SE_DACL_PROTECTED) != 0 ? PROTECTED_DACL_SECURITY_INFORMATION
                                                : UNPROTECTED_DACL_SECURITY_INFORMATION);
  }
  const DWORD rc = SetSecurityInfo(object, SE_FILE_OBJECT, info, owner, nullptr, dacl, nullptr);
  if (rc != ERROR_SUCCESS) return std::unexpected(IoError::from_win32(rc));
  return {};
}

}  // namespace tavo

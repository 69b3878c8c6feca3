#include "acl/dacl.h"

namespace tavo {

std::expected<SECURITY_DESCRIPTOR_CONTROL, HresultError> kept_dacl_control(
    PSECURITY_DESCRIPTOR descriptor) {
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (!GetSecurityDescriptorControl(descriptor, &control, &revision)) {
    return std::unexpected(HresultError::from_last_error());
  }
  return static_cast<SECURITY_DESCRIPTOR_CONTROL>(control & kKeptDaclControl);
}

std::expected<bool, HresultError> edit_dacl(const DaclObject& object, const DaclEditLock::Held&,
                                            DaclCalls calls, const DaclEdit& edit,
                                            const BeforeDaclWrite& before_write) {
  // Whichever read it is owns the memory the DACL lives in.
  ObjectDacl pushed;
  FileSecurity own;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  PACL dacl = nullptr;
  if (calls == DaclCalls::PushedDown) {
    auto read = object.read_dacl();
    if (!read) return std::unexpected(read.error());
    pushed = std::move(*read);
    descriptor = pushed.descriptor.get();
    dacl = pushed.dacl;
  } else {
    auto read = object.read_security();
    if (!read) return std::unexpected(read.error());
    own = std::move(*read);
    descriptor = own.descriptor();
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted)) {
      return std::unexpected(HresultError::from_last_error());
    }
    if (!present) dacl = nullptr;
  }
  auto control = kept_dacl_control(descriptor);
  if (!control) return std::unexpected(control.error());
  auto entries = AceList::read(dacl);
  if (!entries) return std::unexpected(entries.error());

  const DaclDraft read{.entries = std::move(*entries),
                       .is_protected = (*control & SE_DACL_PROTECTED) != 0};
  DaclDraft draft = read;
  edit(draft);
  if (!draft.write_anyway && draft.entries == read.entries &&
      !(draft.inherit_again && read.is_protected)) {
    return false;
  }
  auto acl = draft.entries.to_acl();
  if (!acl) return std::unexpected(acl.error());
  SECURITY_DESCRIPTOR absolute{};
  if (calls == DaclCalls::ThisObjectOnly &&
      (!InitializeSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION) ||
       !SetSecurityDescriptorDacl(&absolute, TRUE, acl->get(), FALSE) ||
       !SetSecurityDescriptorControl(&absolute, kKeptDaclControl, *control))) {
    return std::unexpected(HresultError::from_last_error());
  }
  if (before_write) {
    if (auto told = before_write(read); !told) return std::unexpected(told.error());
  }
  auto written =
      calls == DaclCalls::ThisObjectOnly
          ? object.write_security(&absolute)
          : object.write_dacl(draft.inherit_again ? kUnprotectedDacl : DACL_SECURITY_INFORMATION,
                              acl->get());
  if (!written) return std::unexpected(written.error());
  return true;
}

}  // namespace tavo

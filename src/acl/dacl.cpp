#include "acl/dacl.h"

namespace tavo {

std::expected<unique_local<ACL>, HresultError> build_acl(std::vector<EXPLICIT_ACCESS_W> records,
                                                         PACL old_acl) {
  unique_local<ACL> acl;
  const DWORD rc =
      SetEntriesInAclW(static_cast<ULONG>(records.size()), records.data(), old_acl, acl.put());
  if (rc != ERROR_SUCCESS) return std::unexpected(HresultError::from_win32(rc));
  return acl;
}

std::expected<SECURITY_DESCRIPTOR_CONTROL, HresultError> kept_dacl_control(
    PSECURITY_DESCRIPTOR descriptor) {
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (!GetSecurityDescriptorControl(descriptor, &control, &revision)) {
    return std::unexpected(HresultError::from_last_error());
  }
  return static_cast<SECURITY_DESCRIPTOR_CONTROL>(control & kKeptDaclControl);
}

std::expected<bool, HresultError> is_protected(PSECURITY_DESCRIPTOR descriptor) {
  auto control = kept_dacl_control(descriptor);
  if (!control) return std::unexpected(control.error());
  return (*control & SE_DACL_PROTECTED) != 0;
}

std::expected<std::vector<AceAt>, HresultError> entries_of(PACL acl) {
  std::vector<AceAt> found;
  if (acl == nullptr) return found;
  for (DWORD i = 0; i < acl->AceCount; ++i) {
    void* entry = nullptr;
    if (!GetAce(acl, i, &entry)) return std::unexpected(HresultError::from_last_error());
    found.push_back({i, static_cast<const ACCESS_ALLOWED_ACE*>(entry)});
  }
  return found;
}

std::expected<std::vector<SidEntry>, HresultError> sid_entries(PACL acl, PSID sid) {
  auto entries = AceList::read(acl);
  if (!entries) return std::unexpected(entries.error());
  return entries->of_sid(sid);
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

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

std::expected<bool, HresultError> is_explicit_entry_of(const ACCESS_ALLOWED_ACE& entry, PSID sid) {
  if (entry.Header.AceFlags & INHERITED_ACE) return false;
  if (entry.Header.AceType != ACCESS_ALLOWED_ACE_TYPE &&
      entry.Header.AceType != ACCESS_DENIED_ACE_TYPE) {
    return false;
  }
  // EqualSid answers "not equal" and "failed" alike; only the last error tells them apart.
  SetLastError(ERROR_SUCCESS);
  if (EqualSid(const_cast<DWORD*>(&entry.SidStart), sid)) return true;
  if (GetLastError() != ERROR_SUCCESS) return std::unexpected(HresultError::from_last_error());
  return false;
}

std::expected<std::vector<AceAt>, HresultError> explicit_entries_of(PACL acl, PSID sid) {
  auto all = entries_of(acl);
  if (!all) return std::unexpected(all.error());
  std::vector<AceAt> found;
  for (const AceAt& at : *all) {
    auto mine = is_explicit_entry_of(*at.entry, sid);
    if (!mine) return std::unexpected(mine.error());
    if (*mine) found.push_back(at);
  }
  return found;
}

std::expected<std::vector<SidEntry>, HresultError> sid_entries(PACL acl, PSID sid) {
  auto found = explicit_entries_of(acl, sid);
  if (!found) return std::unexpected(found.error());
  std::vector<SidEntry> entries;
  for (const AceAt& at : *found)
    entries.push_back({at.entry->Header.AceType, at.entry->Header.AceFlags, at.entry->Mask});
  return entries;
}

}  // namespace tavo

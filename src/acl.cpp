#include "acl.h"

#include <cstddef>
#include <cstring>
#include <vector>

#include "win/fs.h"
#include "win/sized_text.h"
#include "win/unique.h"
#include "win/wide.h"

namespace tavo {
namespace {

constexpr SECURITY_INFORMATION kProtectedDacl =
    PROTECTED_DACL_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
constexpr SECURITY_INFORMATION kUnprotectedDacl =
    UNPROTECTED_DACL_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
constexpr DWORD kInheritToAll = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;

// A DACL as GetNamedSecurityInfoW gives it: the descriptor owns the memory the DACL lives in.
struct NamedDacl {
  unique_local<void> descriptor;
  PACL dacl = nullptr;
};

std::expected<NamedDacl, HresultError> read_dacl(const WideString& path) {
  NamedDacl out;
  const DWORD rc =
      GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                            nullptr, &out.dacl, nullptr, out.descriptor.put());
  if (rc != ERROR_SUCCESS) return std::unexpected(HresultError::from_win32(rc));
  return out;
}

std::expected<void, HresultError> write_dacl(WideString& path, SECURITY_INFORMATION info,
                                             PACL dacl) {
  const DWORD rc =
      SetNamedSecurityInfoW(path.data(), SE_FILE_OBJECT, info, nullptr, nullptr, dacl, nullptr);
  if (rc != ERROR_SUCCESS) return std::unexpected(HresultError::from_win32(rc));
  return {};
}

std::expected<unique_local<ACL>, HresultError> build_acl(std::vector<EXPLICIT_ACCESS_W> records,
                                                         PACL old_acl) {
  unique_local<ACL> acl;
  const DWORD rc =
      SetEntriesInAclW(static_cast<ULONG>(records.size()), records.data(), old_acl, acl.put());
  if (rc != ERROR_SUCCESS) return std::unexpected(HresultError::from_win32(rc));
  return acl;
}

std::expected<bool, HresultError> is_protected(PSECURITY_DESCRIPTOR descriptor) {
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (!GetSecurityDescriptorControl(descriptor, &control, &revision)) {
    return std::unexpected(HresultError::from_last_error());
  }
  return (control & SE_DACL_PROTECTED) != 0;
}

// One of a SID's entries: its position and the entry (allow and deny entries share a layout).
struct SidEntry {
  DWORD index;
  const ACCESS_ALLOWED_ACE* entry;
};

// The SID's explicit (not inherited) allow and deny entries in `acl`, in order.
std::expected<std::vector<SidEntry>, HresultError> explicit_entries_of(PACL acl, PSID sid) {
  std::vector<SidEntry> found;
  if (acl == nullptr) return found;
  for (DWORD i = 0; i < acl->AceCount; ++i) {
    void* entry = nullptr;
    if (!GetAce(acl, i, &entry)) return std::unexpected(HresultError::from_last_error());
    const auto* header = static_cast<const ACE_HEADER*>(entry);
    if (header->AceFlags & INHERITED_ACE) continue;
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_DENIED_ACE_TYPE) {
      continue;
    }
    // EqualSid answers "not equal" and "failed" alike; only the last error tells them apart.
    auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    SetLastError(ERROR_SUCCESS);
    if (EqualSid(&ace->SidStart, sid)) {
      found.push_back({i, ace});
    } else if (GetLastError() != ERROR_SUCCESS) {
      return std::unexpected(HresultError::from_last_error());
    }
  }
  return found;
}

// The platform's REVOKE_ACCESS leaves a trustee's deny entries in place; revoking a SID must
// take those away too.
std::expected<void, HresultError> remove_explicit_denies(PACL acl, PSID sid) {
  auto entries = explicit_entries_of(acl, sid);
  if (!entries) return std::unexpected(entries.error());
  // From the back, so that the entries still to come keep their places.
  for (auto it = entries->rbegin(); it != entries->rend(); ++it) {
    if (it->entry->Header.AceType != ACCESS_DENIED_ACE_TYPE) continue;
    if (!DeleteAce(acl, it->index)) return std::unexpected(HresultError::from_last_error());
  }
  return {};
}

// Whether the SID's explicit entries in `acl` are exactly one allow entry with `mask` and `flags`.
// Setting that entry again changes nothing a reader of the DACL could tell, but the platform
// moves it in front of the other allow entries; with several SIDs on one object the DACL would
// then differ on every repeat and be written (and, for an inheritable entry, pushed down the
// whole tree) again and again.
std::expected<bool, HresultError> holds_only_entry(PACL acl, PSID sid, DWORD mask, BYTE flags) {
  auto entries = explicit_entries_of(acl, sid);
  if (!entries) return std::unexpected(entries.error());
  if (entries->size() != 1) return false;
  const ACCESS_ALLOWED_ACE* entry = entries->front().entry;
  return entry->Header.AceType == ACCESS_ALLOWED_ACE_TYPE && entry->Mask == mask &&
         entry->Header.AceFlags == flags;
}

// Whether writing `updated` in place of `current` would change nothing that matters.
std::expected<bool, HresultError> unchanged(const ACL* updated, PACL current, PSID sid, DWORD mask,
                                            BYTE flags) {
  if (acl_equal(updated, current)) return true;
  return holds_only_entry(current, sid, mask, flags);
}

// The bytes an ACL's entries occupy after its header, or nothing when the sizes do not add up.
std::optional<std::size_t> entry_bytes(const ACL* acl) {
  const auto* bytes = reinterpret_cast<const BYTE*>(acl);
  std::size_t offset = sizeof(ACL);
  for (WORD i = 0; i < acl->AceCount; ++i) {
    if (offset + sizeof(ACE_HEADER) > acl->AclSize) return std::nullopt;
    WORD size;
    std::memcpy(&size, bytes + offset + offsetof(ACE_HEADER, AceSize), sizeof size);
    if (size < sizeof(ACE_HEADER) || offset + size > acl->AclSize) return std::nullopt;
    offset += size;
  }
  return offset - sizeof(ACL);
}

}  // namespace

std::expected<FileSecurity, HresultError> read_file_security(const WideString& path) {
  DWORD needed = 0;
  // The size query; its own result is of no interest, only the length it reports.
  GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
  if (needed == 0) {
    return std::unexpected(HresultError(0xFFFFFFFF, "GetFileSecurityW returned needed=0"));
  }
  FileSecurity security;
  security.length = needed;
  // Pointer-aligned storage for the self-relative descriptor.
  security.storage.assign((needed + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t), 0);
  if (!GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, security.descriptor(), needed,
                        &needed)) {
    return std::unexpected(HresultError::from_last_error());
  }
  return security;
}

DWORD access_mask(AccessLevel level) {
  return level == AccessLevel::Read ? kReadMask : kReadWriteMask;
}

EXPLICIT_ACCESS_W explicit_access(PSID sid, DWORD permissions, ACCESS_MODE mode, DWORD inheritance,
                                  TRUSTEE_TYPE type) {
  EXPLICIT_ACCESS_W record{};
  record.grfAccessPermissions = permissions;
  record.grfAccessMode = mode;
  record.grfInheritance = inheritance;
  record.Trustee.pMultipleTrustee = nullptr;
  record.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
  record.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  record.Trustee.TrusteeType = type;
  record.Trustee.ptstrName = static_cast<LPWSTR>(sid);
  return record;
}

std::string to_long_path(std::string_view path) {
  const WideString wide = to_wide_nul(path);
  std::optional<std::string> long_form = read_sized_text(
      [&](WCHAR* buffer, DWORD size) { return GetLongPathNameW(wide.c_str(), buffer, size); });
  return long_form ? *long_form : std::string(path);
}

bool acl_equal(const ACL* a, const ACL* b) {
  if (a == nullptr || b == nullptr) return a == b;
  if (a->AclRevision != b->AclRevision || a->AceCount != b->AceCount) return false;
  const std::optional<std::size_t> used_a = entry_bytes(a);
  const std::optional<std::size_t> used_b = entry_bytes(b);
  if (!used_a || !used_b || *used_a != *used_b) return false;
  return std::memcmp(reinterpret_cast<const BYTE*>(a) + sizeof(ACL),
                     reinterpret_cast<const BYTE*>(b) + sizeof(ACL), *used_a) == 0;
}

std::expected<void, HresultError> grant_access(PSID sid, std::string_view path, AccessLevel level) {
  WideString wide = to_wide_nul(to_long_path(path));
  auto current = read_dacl(wide);
  if (!current) return std::unexpected(current.error());
  auto updated = build_acl({explicit_access(sid, access_mask(level), SET_ACCESS, kInheritToAll)},
                           current->dacl);
  if (!updated) return std::unexpected(updated.error());
  auto same = unchanged(updated->get(), current->dacl, sid, access_mask(level), kInheritToAll);
  if (!same) return std::unexpected(same.error());
  if (*same) return {};
  // Without a protection flag the DACL keeps its protection; the platform pushes the
  // inheritable entry down to existing children.
  return write_dacl(wide, DACL_SECURITY_INFORMATION, updated->get());
}

std::expected<DenyApplied, HresultError> deny_access(PSID sid, std::string_view path) {
  const std::string long_path = to_long_path(path);
  WideString wide = to_wide_nul(long_path);
  auto original = read_dacl(wide);
  if (!original) return std::unexpected(original.error());
  auto was_protected = is_protected(original->descriptor.get());
  if (!was_protected) return std::unexpected(was_protected.error());

  // From here on the object no longer inherits from its parent.
  if (auto protect = write_dacl(wide, kProtectedDacl, original->dacl); !protect) {
    return std::unexpected(protect.error());
  }

  auto place_deny = [&]() -> std::expected<void, HresultError> {
    auto protected_dacl = read_dacl(wide);
    if (!protected_dacl) return std::unexpected(protected_dacl.error());
    const DWORD inheritance = fs::is_dir(long_path) ? kInheritToAll : 0;
    // The REVOKE_ACCESS record first, so no allow entry of the SID stays beside the deny.
    auto denied = build_acl({explicit_access(sid, 0, REVOKE_ACCESS, 0),
                             explicit_access(sid, kDenyMask, DENY_ACCESS, inheritance)},
                            protected_dacl->dacl);
    if (!denied) return std::unexpected(denied.error());
    return write_dacl(wide, kProtectedDacl, denied->get());
  };
  if (auto placed = place_deny(); !placed) {
    // Give the object back its inheritance; a failure here must not hide the first one.
    if (!*was_protected) (void)write_dacl(wide, kUnprotectedDacl, original->dacl);
    return std::unexpected(placed.error());
  }
  return DenyApplied{*was_protected};
}

std::expected<void, HresultError> revoke_access(PSID sid, std::string_view path,
                                                Protection protection) {
  WideString wide = to_wide_nul(to_long_path(path));
  auto current = read_dacl(wide);
  if (!current) return std::unexpected(current.error());
  auto revoked = build_acl({explicit_access(sid, 0, REVOKE_ACCESS, kInheritToAll)}, current->dacl);
  if (!revoked) return std::unexpected(revoked.error());
  if (auto cleaned = remove_explicit_denies(revoked->get(), sid); !cleaned) {
    return std::unexpected(cleaned.error());
  }
  return write_dacl(wide,
                    protection == Protection::KeepProtected ? kProtectedDacl : kUnprotectedDacl,
                    revoked->get());
}

std::expected<void, HresultError> grant_traverse(PSID sid, std::string_view path) {
  const WideString wide = to_wide_nul(to_long_path(path));
  auto security = read_file_security(wide);
  if (!security) return std::unexpected(security.error());
  PSECURITY_DESCRIPTOR descriptor = security->descriptor();
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted)) {
    return std::unexpected(HresultError::from_last_error());
  }
  if (!present) dacl = nullptr;
  auto updated = build_acl({explicit_access(sid, kTraverseMask, SET_ACCESS, 0)}, dacl);
  if (!updated) return std::unexpected(updated.error());
  auto same = unchanged(updated->get(), dacl, sid, kTraverseMask, 0);
  if (!same) return std::unexpected(same.error());
  if (*same) return {};

  SECURITY_DESCRIPTOR absolute{};
  if (!InitializeSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorDacl(&absolute, TRUE, updated->get(), FALSE) ||
      !SetFileSecurityW(wide.c_str(), DACL_SECURITY_INFORMATION, &absolute)) {
    return std::unexpected(HresultError::from_last_error());
  }
  return {};
}

}  // namespace tavo

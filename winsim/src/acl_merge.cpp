// SetEntriesInAclW and the ACE calls: building a new ACL from an old one and explicit-access
// records, with the platform's merge and placement rules.
#include <algorithm>
#include <cstring>

#include "acl_entries.h"
#include "winsim/kernel.h"

using namespace winsim::detail;

namespace {

// The largest AclSize: a 16-bit field that must stay a multiple of four.
constexpr std::size_t kMaxAclSize = 0xFFFC;
// Unused bytes left after the entries of every ACL built here. The platform does not promise a
// compact ACL, so code that compares ACLs must look only at the entries in use.
constexpr std::size_t kSlack = 16;

constexpr BYTE kInheritanceFlags =
    OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE | NO_PROPAGATE_INHERIT_ACE | INHERIT_ONLY_ACE;

bool same_trustee(const Ace& ace, const std::vector<BYTE>& sid) {
  return ace.sid == sid;
}

bool is_allow(const Ace& ace) {
  return ace.type == ACCESS_ALLOWED_ACE_TYPE;
}

// The trustee's SID of a record, or nothing with the error the platform gives for its form.
std::optional<std::vector<BYTE>> trustee_sid(const TRUSTEE_W& trustee, DWORD& error) {
  if (trustee.pMultipleTrustee != nullptr ||
      trustee.MultipleTrusteeOperation != NO_MULTIPLE_TRUSTEE) {
    error = ERROR_INVALID_PARAMETER;
    return std::nullopt;
  }
  switch (trustee.TrusteeForm) {
    case TRUSTEE_IS_SID: {
      void* sid = trustee.ptstrName;
      if (!sid_is_valid(sid)) {
        error = ERROR_INVALID_PARAMETER;
        return std::nullopt;
      }
      const auto* bytes = static_cast<const BYTE*>(sid);
      return std::vector<BYTE>(bytes, bytes + sid_length(sid));
    }
    case TRUSTEE_IS_NAME:
      error = ERROR_NONE_MAPPED;  // account names are not modelled
      return std::nullopt;
    default:
      error = ERROR_INVALID_PARAMETER;
      return std::nullopt;
  }
}

// The explicit entries followed by the inherited ones; a record only ever touches the explicit
// part, and new entries are placed within it.
struct Working {
  AceList explicit_entries;
  AceList inherited;

  void remove_explicit(const std::vector<BYTE>& sid, bool allows, bool denies) {
    std::erase_if(explicit_entries, [&](const Ace& ace) {
      return same_trustee(ace, sid) && (is_allow(ace) ? allows : denies);
    });
  }

  Ace* find_explicit(BYTE type, BYTE flags, const std::vector<BYTE>& sid) {
    for (Ace& ace : explicit_entries) {
      if (ace.type == type && ace.flags == flags && same_trustee(ace, sid)) return &ace;
    }
    return nullptr;
  }

  // A new allow entry goes just before the first allow entry; a new deny entry first of all.
  void place(Ace ace) {
    auto at = explicit_entries.begin();
    if (is_allow(ace))
      at = std::find_if(explicit_entries.begin(), explicit_entries.end(), is_allow);
    explicit_entries.insert(at, std::move(ace));
  }

  void merge_or_place(Ace ace) {
    if (Ace* existing = find_explicit(ace.type, ace.flags, ace.sid)) {
      existing->mask |= ace.mask;
    } else {
      place(std::move(ace));
    }
  }
};

DWORD apply(Working& acl, const EXPLICIT_ACCESS_W& record) {
  if (record.grfAccessMode == NOT_USED_ACCESS) return ERROR_SUCCESS;
  DWORD error = ERROR_SUCCESS;
  auto sid = trustee_sid(record.Trustee, error);
  if (!sid) return error;
  const auto flags = static_cast<BYTE>(record.grfInheritance & kInheritanceFlags);
  switch (record.grfAccessMode) {
    case GRANT_ACCESS:
      acl.merge_or_place(Ace{ACCESS_ALLOWED_ACE_TYPE, flags, record.grfAccessPermissions, *sid});
      return ERROR_SUCCESS;
    case SET_ACCESS:
      // Discards the trustee's explicit allow entries. Its deny entries stay (A: no Windows-run
      // test settles it; keeping them catches a caller that relies on their going).
      acl.remove_explicit(*sid, true, false);
      acl.place(Ace{ACCESS_ALLOWED_ACE_TYPE, flags, record.grfAccessPermissions, *sid});
      return ERROR_SUCCESS;
    case DENY_ACCESS:
      acl.merge_or_place(Ace{ACCESS_DENIED_ACE_TYPE, flags, record.grfAccessPermissions, *sid});
      return ERROR_SUCCESS;
    case REVOKE_ACCESS:
      // Only allow (and audit) entries go; the trustee's deny entries stay.
      acl.remove_explicit(*sid, true, false);
      return ERROR_SUCCESS;
    default:
      return ERROR_INVALID_PARAMETER;  // audit modes belong to SACLs, not modelled
  }
}

std::string first_trustee(ULONG count, const EXPLICIT_ACCESS_W* entries) {
  if (count == 0 || entries == nullptr) return {};
  const TRUSTEE_W& trustee = entries[0].Trustee;
  if (trustee.TrusteeForm == TRUSTEE_IS_SID && sid_is_valid(trustee.ptstrName))
    return sid_to_string(trustee.ptstrName);
  if (trustee.TrusteeForm == TRUSTEE_IS_NAME) return narrow(trustee.ptstrName);
  return {};
}

// Where each entry of an ACL begins, and where the last one ends; nothing when the sizes do not
// add up.
struct Layout {
  std::vector<std::size_t> offsets;
  std::size_t end = 8;
};

std::optional<Layout> layout_of(const ACL* acl) {
  if (acl == nullptr || acl->AclSize < 8) return std::nullopt;
  const auto* bytes = reinterpret_cast<const BYTE*>(acl);
  Layout layout;
  for (WORD i = 0; i < acl->AceCount; ++i) {
    if (layout.end + 4 > acl->AclSize) return std::nullopt;
    WORD size;
    std::memcpy(&size, bytes + layout.end + 2, 2);
    if (size < 4 || layout.end + size > acl->AclSize) return std::nullopt;
    layout.offsets.push_back(layout.end);
    layout.end += size;
  }
  return layout;
}

}  // namespace

DWORD SetEntriesInAclW(ULONG count, PEXPLICIT_ACCESS_W entries, PACL old_acl, PACL* new_acl) {
  if (DWORD error = enter("SetEntriesInAclW", first_trustee(count, entries))) {
    if (new_acl != nullptr) *new_acl = nullptr;  // a failure never leaves a result behind
    return error;
  }
  if (new_acl == nullptr || (count > 0 && entries == nullptr)) return ERROR_INVALID_PARAMETER;
  *new_acl = nullptr;
  if (count == 0 && old_acl == nullptr) return ERROR_SUCCESS;

  Working acl;
  if (old_acl != nullptr) {
    auto old_entries = read_acl(old_acl);
    if (!old_entries) return ERROR_INVALID_ACL;
    for (Ace& ace : *old_entries)
      (is_inherited(ace) ? acl.inherited : acl.explicit_entries).push_back(std::move(ace));
  }
  for (ULONG i = 0; i < count; ++i) {
    if (DWORD error = apply(acl, entries[i])) return error;
  }

  AceList result = std::move(acl.explicit_entries);
  result.insert(result.end(), acl.inherited.begin(), acl.inherited.end());
  const std::size_t in_use = acl_bytes_in_use(result);
  if (in_use > kMaxAclSize) return ERROR_INVALID_PARAMETER;
  const std::size_t size = std::min(in_use + kSlack, kMaxAclSize);
  auto* block = static_cast<BYTE*>(local_alloc(size, false, "SetEntriesInAclW"));
  if (block == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  write_acl(result, size, block);
  *new_acl = reinterpret_cast<PACL>(block);
  return ERROR_SUCCESS;
}

BOOL InitializeAcl(PACL acl, DWORD length, DWORD revision) {
  if (DWORD error = enter("InitializeAcl")) return fail(error, FALSE);
  if (acl == nullptr || length < sizeof(ACL)) return fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
  if (length > kMaxAclSize || (revision != ACL_REVISION && revision != ACL_REVISION_DS)) {
    return fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  std::memset(acl, 0, length);
  acl->AclRevision = static_cast<BYTE>(revision);
  acl->AclSize = static_cast<WORD>(length);
  return TRUE;
}

BOOL AddAce(PACL acl, DWORD revision, DWORD index, LPVOID list, DWORD length) {
  if (DWORD error = enter("AddAce")) return fail(error, FALSE);
  auto layout = layout_of(acl);
  if (!layout || list == nullptr || (revision != ACL_REVISION && revision != ACL_REVISION_DS)) {
    return fail(ERROR_INVALID_PARAMETER, FALSE);
  }
  // The list must be whole entries of the types the model knows.
  std::size_t walked = 0;
  std::size_t count = 0;
  const auto* added = static_cast<const BYTE*>(list);
  while (walked < length) {
    if (length - walked < sizeof(ACE_HEADER)) return fail(ERROR_INVALID_PARAMETER, FALSE);
    ACE_HEADER header;
    std::memcpy(&header, added + walked, sizeof header);
    if (header.AceSize < sizeof(ACCESS_ALLOWED_ACE) || header.AceSize > length - walked ||
        (header.AceType != ACCESS_ALLOWED_ACE_TYPE && header.AceType != ACCESS_DENIED_ACE_TYPE)) {
      return fail(ERROR_INVALID_PARAMETER, FALSE);
    }
    walked += header.AceSize;
    ++count;
  }
  if (layout->end + length > acl->AclSize) return fail(ERROR_ALLOTTED_SPACE_EXCEEDED, FALSE);
  auto* bytes = reinterpret_cast<BYTE*>(acl);
  const std::size_t at = index < layout->offsets.size() ? layout->offsets[index] : layout->end;
  // The entries from `at` on move down to make room.
  std::memmove(bytes + at + length, bytes + at, layout->end - at);
  std::memcpy(bytes + at, added, length);
  acl->AceCount = static_cast<WORD>(acl->AceCount + count);
  if (revision > acl->AclRevision) acl->AclRevision = static_cast<BYTE>(revision);
  return TRUE;
}

BOOL GetAce(PACL acl, DWORD index, LPVOID* ace) {
  if (DWORD error = enter("GetAce")) return fail(error, FALSE);
  auto layout = layout_of(acl);
  if (!layout || index >= layout->offsets.size() || ace == nullptr)
    return fail(ERROR_INVALID_PARAMETER, FALSE);
  *ace = reinterpret_cast<BYTE*>(acl) + layout->offsets[index];
  return TRUE;
}

BOOL DeleteAce(PACL acl, DWORD index) {
  if (DWORD error = enter("DeleteAce")) return fail(error, FALSE);
  auto layout = layout_of(acl);
  if (!layout || index >= layout->offsets.size()) return fail(ERROR_INVALID_PARAMETER, FALSE);
  auto* bytes = reinterpret_cast<BYTE*>(acl);
  const std::size_t offset = layout->offsets[index];
  const std::size_t next =
      index + 1 < layout->offsets.size() ? layout->offsets[index + 1] : layout->end;
  // The entries after it move up; the bytes freed at the end become unused space.
  std::memmove(bytes + offset, bytes + next, layout->end - next);
  std::memset(bytes + layout->end - (next - offset), 0, next - offset);
  --acl->AceCount;
  return TRUE;
}

// Building a DACL and finding a SID's explicit entries in it: the steps every edit of the program
// is made of (the object itself is read and written through a DaclObject).
#pragma once

#include <expected>
#include <vector>

#include "acl/dacl_change.h"
#include "win/api.h"
#include "win/error.h"
#include "win/unique.h"

namespace tavo {

inline constexpr SECURITY_INFORMATION kProtectedDacl =
    PROTECTED_DACL_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
inline constexpr SECURITY_INFORMATION kUnprotectedDacl =
    UNPROTECTED_DACL_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

std::expected<unique_local<ACL>, HresultError> build_acl(std::vector<EXPLICIT_ACCESS_W> records,
                                                         PACL old_acl);
std::expected<bool, HresultError> is_protected(PSECURITY_DESCRIPTOR descriptor);

// The DACL's control bits that a rewrite of the DACL through a fresh descriptor must carry over
// from the descriptor it read: its protection and its auto-inherited mark.
inline constexpr SECURITY_DESCRIPTOR_CONTROL kKeptDaclControl =
    SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED;
std::expected<SECURITY_DESCRIPTOR_CONTROL, HresultError> kept_dacl_control(
    PSECURITY_DESCRIPTOR descriptor);

// One entry of an ACL with its position (allow and deny entries share a layout).
struct AceAt {
  DWORD index;
  const ACCESS_ALLOWED_ACE* entry;
};

// Every entry of `acl`, in order; none for an absent ACL.
std::expected<std::vector<AceAt>, HresultError> entries_of(PACL acl);

// Whether an entry is one of the SID's explicit (not inherited) allow or deny entries.
std::expected<bool, HresultError> is_explicit_entry_of(const ACCESS_ALLOWED_ACE& entry, PSID sid);

// The SID's explicit allow and deny entries in `acl`, in order.
std::expected<std::vector<AceAt>, HresultError> explicit_entries_of(PACL acl, PSID sid);

// The same entries as an undo record keeps them.
std::expected<std::vector<SidEntry>, HresultError> sid_entries(PACL acl, PSID sid);

}  // namespace tavo

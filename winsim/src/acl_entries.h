// ACL entries as winsim's security model holds them, their binary form (the platform's ACL and
// ACE layouts) and their text form (the state file's SDDL notation).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "internal.h"
#include "winsim/security.h"

namespace winsim::detail {

// One allow or deny entry. Other entry types are not modelled.
struct Ace {
  BYTE type = ACCESS_ALLOWED_ACE_TYPE;
  BYTE flags = 0;
  ACCESS_MASK mask = 0;
  std::vector<BYTE> sid;
  friend bool operator==(const Ace&, const Ace&) = default;
};
using AceList = std::vector<Ace>;

// A DACL's entries in order, with the protection flag of the object that holds them.
struct Dacl {
  AceList entries;
  bool is_protected = false;
  friend bool operator==(const Dacl&, const Dacl&) = default;
};

Ace make_ace(BYTE type, BYTE flags, ACCESS_MASK mask, std::string_view sid_text);
bool is_inherited(const Ace& ace);
// The mask with its generic rights replaced by the file rights they stand for.
ACCESS_MASK map_file_generic(ACCESS_MASK mask);

// The entries of a binary ACL; nothing when the ACL is malformed (bad revision, sizes that do
// not add up) or holds an entry type other than allow and deny.
std::optional<AceList> read_acl(const ACL* acl);
// Bytes the header and entries take; the AclSize of a compact ACL.
std::size_t acl_bytes_in_use(const AceList& entries);
// Writes an ACL of `acl_size` bytes (at least acl_bytes_in_use) into `out`; the bytes after the
// entries are zero.
void write_acl(const AceList& entries, std::size_t acl_size, BYTE* out);

// "D:" then "P" when protected, then "(A;OICI;0x1f01ff;;;S-1-5-18)" per entry.
std::string to_sddl(const Dacl& dacl);
// The inverse (the flags AI and AR are read and dropped); SID aliases (SY, BA, BU, WD, AC, ...),
// upper-case hexadecimal and the rights' names (FA, FR, FW, FX, GA, GR, GW, GX, SD, RC, WD, WO,
// alone or run together) are accepted.
std::optional<Dacl> from_sddl(std::string_view text);
// The DACL flags P, AI and AR (in any order) at the start of `text` as control bits, taken off
// the text; nothing for another letter before the first entry.
std::optional<SECURITY_DESCRIPTOR_CONTROL> take_dacl_flags(std::string_view& text);
// The entries of "(A;OICI;FA;;;SY)(D;;0x1;;;S-1-5-32-545)..." (SDDL's ACL part).
std::optional<AceList> entries_from_sddl(std::string_view text);

}  // namespace winsim::detail

// Security descriptors: the self-relative form the read calls hand out, and the DACL inside a
// descriptor the caller passes (absolute or self-relative).
#pragma once

#include <optional>
#include <vector>

#include "acl_entries.h"

namespace winsim::detail {

// A self-relative descriptor holding `dacl` (compact, at offset 20) and nothing else; without a
// DACL only the header. No owner, group or SACL.
std::vector<BYTE> self_relative_descriptor(const Dacl* dacl);

struct DescriptorDacl {
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  const ACL* dacl = nullptr;  // null when no DACL is present, or a NULL DACL
};
// The control and DACL of a descriptor in either form; nothing when it is not a descriptor of
// revision 1 or its DACL offset points outside what a header allows.
std::optional<DescriptorDacl> descriptor_dacl(const void* descriptor);

}  // namespace winsim::detail

// Security descriptors: the self-relative form the read calls hand out, and the DACL inside a
// descriptor the caller passes (absolute or self-relative).
#pragma once

#include <optional>
#include <vector>

#include "acl_entries.h"

namespace winsim::detail {

// A self-relative descriptor holding `dacl` (compact, at offset 20) and `owner` (a binary SID,
// after the DACL), each when given, and `dacl_flags` (protection, auto-inheritance) in its
// control; without either only the header. No group or SACL.
std::vector<BYTE> self_relative_descriptor(const Dacl* dacl,
                                           const std::vector<BYTE>* owner = nullptr,
                                           SECURITY_DESCRIPTOR_CONTROL dacl_flags = 0);

struct DescriptorParts {
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  const ACL* dacl = nullptr;    // null when no DACL is present, or a NULL DACL
  const void* owner = nullptr;  // null when the descriptor names no owner
};
// The control, DACL and owner of a descriptor in either form; nothing when it is not a
// descriptor of revision 1, an offset points outside what a header allows, or its owner is not
// a valid SID.
std::optional<DescriptorParts> descriptor_parts(const void* descriptor);

}  // namespace winsim::detail

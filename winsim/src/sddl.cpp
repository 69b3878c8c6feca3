// Security descriptors from their string form (SDDL): the owner, the DACL and its flags, for a
// program that builds the descriptor of an object it is about to make.
#include <cstring>
#include <expected>

#include "acl_entries.h"
#include "descriptors.h"
#include "winsim/kernel.h"

using namespace winsim::detail;

namespace {

struct ParsedDescriptor {
  std::optional<std::vector<BYTE>> owner;
  std::optional<AceList> dacl;
  SECURITY_DESCRIPTOR_CONTROL dacl_flags = 0;
};

// The parts of the text, or the Win32 error the platform gives: a component it does not know
// (or one given twice) 87, a malformed entry 1336, an owner that is not a SID 1337.
std::expected<ParsedDescriptor, DWORD> parse(std::string_view text) {
  ParsedDescriptor parsed;
  bool group_seen = false;
  while (!text.empty()) {
    if (text.size() < 2 || text[1] != ':') return std::unexpected(ERROR_INVALID_PARAMETER);
    const char component = text[0];
    text.remove_prefix(2);
    // A component runs to the next "X:"; colons appear in no SID or entry.
    const auto colon = text.find(':');
    const std::size_t end = colon == std::string_view::npos ? text.size() : colon - 1;
    if (colon == 0) return std::unexpected(ERROR_INVALID_PARAMETER);
    std::string_view body = text.substr(0, end);
    text.remove_prefix(end);
    if (component == 'O' && !parsed.owner) {
      parsed.owner = sid_from_string(body);
      if (!parsed.owner) return std::unexpected(ERROR_INVALID_SID);
    } else if (component == 'G' && !group_seen) {
      // A group is not modelled; it is read and dropped.
      if (!sid_from_string(body)) return std::unexpected(ERROR_INVALID_SID);
      group_seen = true;
    } else if (component == 'D' && !parsed.dacl) {
      auto flags = take_dacl_flags(body);
      if (!flags) return std::unexpected(ERROR_INVALID_PARAMETER);
      parsed.dacl = entries_from_sddl(body);
      if (!parsed.dacl) return std::unexpected(ERROR_INVALID_ACL);
      parsed.dacl_flags = *flags;
    } else {
      return std::unexpected(ERROR_INVALID_PARAMETER);  // a SACL included: not modelled
    }
  }
  return parsed;
}

}  // namespace

BOOL ConvertStringSecurityDescriptorToSecurityDescriptorW(LPCWSTR text, DWORD revision,
                                                          PSECURITY_DESCRIPTOR* descriptor,
                                                          PULONG size) {
  const std::string sddl = narrow(text);
  if (DWORD error = enter("ConvertStringSecurityDescriptorToSecurityDescriptorW", sddl))
    return fail(error, FALSE);
  if (text == nullptr || descriptor == nullptr) return fail(ERROR_INVALID_PARAMETER, FALSE);
  if (revision != SDDL_REVISION_1) return fail(ERROR_UNKNOWN_REVISION, FALSE);
  auto parsed = parse(sddl);
  if (!parsed) return fail(parsed.error(), FALSE);
  const Dacl dacl{parsed->dacl.value_or(AceList{}), false};
  const std::vector<BYTE> bytes =
      self_relative_descriptor(parsed->dacl ? &dacl : nullptr,
                               parsed->owner ? &*parsed->owner : nullptr, parsed->dacl_flags);
  void* block =
      local_alloc(bytes.size(), false, "ConvertStringSecurityDescriptorToSecurityDescriptorW");
  if (block == nullptr) return fail(ERROR_NOT_ENOUGH_MEMORY, FALSE);
  std::memcpy(block, bytes.data(), bytes.size());
  *descriptor = block;
  if (size != nullptr) *size = static_cast<ULONG>(bytes.size());
  return TRUE;
}

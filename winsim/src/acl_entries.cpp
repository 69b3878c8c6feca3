// Binary and text forms of ACL entries.
#include "acl_entries.h"

#include <cstring>

namespace winsim::detail {
namespace {

constexpr std::size_t kAclHeader = 8;
constexpr std::size_t kAceHeader = 8;  // type, flags, size, mask

// The state file's flag names, in the order they are written.
constexpr std::pair<std::string_view, BYTE> kFlagNames[] = {
    {"OI", OBJECT_INHERIT_ACE}, {"CI", CONTAINER_INHERIT_ACE}, {"NP", NO_PROPAGATE_INHERIT_ACE},
    {"IO", INHERIT_ONLY_ACE},   {"ID", INHERITED_ACE},
};

WORD read_word(const BYTE* p) {
  WORD value;
  std::memcpy(&value, p, 2);
  return value;
}

void put_word(BYTE* p, std::size_t value) {
  const auto word = static_cast<WORD>(value);
  std::memcpy(p, &word, 2);
}

std::optional<ACCESS_MASK> parse_mask(std::string_view text) {
  if (text.size() < 3 || text.size() > 10 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X'))
    return std::nullopt;
  ACCESS_MASK mask = 0;
  for (char c : text.substr(2)) {
    int digit = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                       : -1;
    if (digit < 0) return std::nullopt;
    mask = (mask << 4) | static_cast<ACCESS_MASK>(digit);
  }
  return mask;
}

std::optional<BYTE> parse_flags(std::string_view text) {
  BYTE flags = 0;
  while (!text.empty()) {
    bool known = false;
    for (const auto& [name, bit] : kFlagNames) {
      if (text.starts_with(name)) {
        flags |= bit;
        text.remove_prefix(name.size());
        known = true;
        break;
      }
    }
    if (!known) return std::nullopt;
  }
  return flags;
}

// "TYPE;FLAGS;MASK;;;SID": the text between the parentheses of one entry.
std::optional<Ace> parse_entry(std::string_view text) {
  std::vector<std::string_view> fields;
  while (true) {
    auto semicolon = text.find(';');
    fields.push_back(text.substr(0, semicolon));
    if (semicolon == std::string_view::npos) break;
    text.remove_prefix(semicolon + 1);
  }
  if (fields.size() != 6 || !fields[3].empty() || !fields[4].empty()) return std::nullopt;
  Ace ace;
  if (fields[0] == "A") {
    ace.type = ACCESS_ALLOWED_ACE_TYPE;
  } else if (fields[0] == "D") {
    ace.type = ACCESS_DENIED_ACE_TYPE;
  } else {
    return std::nullopt;
  }
  auto flags = parse_flags(fields[1]);
  auto mask = parse_mask(fields[2]);
  auto sid = sid_from_string(fields[5]);
  if (!flags || !mask || !sid) return std::nullopt;
  ace.flags = *flags;
  ace.mask = *mask;
  ace.sid = std::move(*sid);
  return ace;
}

}  // namespace

Ace make_ace(BYTE type, BYTE flags, ACCESS_MASK mask, std::string_view sid_text) {
  return Ace{type, flags, mask, sid_from_string(sid_text).value()};
}

bool is_inherited(const Ace& ace) {
  return (ace.flags & INHERITED_ACE) != 0;
}

std::optional<AceList> read_acl(const ACL* acl) {
  if (acl == nullptr) return std::nullopt;
  const auto* bytes = reinterpret_cast<const BYTE*>(acl);
  if ((acl->AclRevision != ACL_REVISION && acl->AclRevision != 4) || acl->AclSize < kAclHeader)
    return std::nullopt;
  AceList entries;
  std::size_t offset = kAclHeader;
  for (WORD i = 0; i < acl->AceCount; ++i) {
    if (offset + kAceHeader > acl->AclSize) return std::nullopt;
    const BYTE* ace = bytes + offset;
    const WORD size = read_word(ace + 2);
    if (ace[0] != ACCESS_ALLOWED_ACE_TYPE && ace[0] != ACCESS_DENIED_ACE_TYPE) return std::nullopt;
    if (size < kAceHeader + 8 || offset + size > acl->AclSize) return std::nullopt;
    const BYTE* sid = ace + kAceHeader;
    if (!sid_is_valid(sid) || kAceHeader + sid_length(sid) > size) return std::nullopt;
    Ace entry;
    entry.type = ace[0];
    entry.flags = ace[1];
    std::memcpy(&entry.mask, ace + 4, 4);
    entry.sid.assign(sid, sid + sid_length(sid));
    entries.push_back(std::move(entry));
    offset += size;
  }
  return entries;
}

std::size_t acl_bytes_in_use(const AceList& entries) {
  std::size_t size = kAclHeader;
  for (const Ace& ace : entries)
    size += kAceHeader + ace.sid.size();
  return size;
}

void write_acl(const AceList& entries, std::size_t acl_size, BYTE* out) {
  std::memset(out, 0, acl_size);
  out[0] = ACL_REVISION;
  put_word(out + 2, acl_size);
  put_word(out + 4, entries.size());
  std::size_t offset = kAclHeader;
  for (const Ace& ace : entries) {
    BYTE* p = out + offset;
    p[0] = ace.type;
    p[1] = ace.flags;
    put_word(p + 2, kAceHeader + ace.sid.size());
    std::memcpy(p + 4, &ace.mask, 4);
    std::memcpy(p + kAceHeader, ace.sid.data(), ace.sid.size());
    offset += kAceHeader + ace.sid.size();
  }
}

std::string to_sddl(const Dacl& dacl) {
  std::string text = dacl.is_protected ? "D:P" : "D:";
  for (const Ace& ace : dacl.entries) {
    text += ace.type == ACCESS_DENIED_ACE_TYPE ? "(D;" : "(A;";
    for (const auto& [name, bit] : kFlagNames) {
      if (ace.flags & bit) text += name;
    }
    char mask[16];
    std::snprintf(mask, sizeof mask, ";0x%x;;;", static_cast<unsigned>(ace.mask));
    text += mask;
    text += sid_to_string(ace.sid.data());
    text += ")";
  }
  return text;
}

std::optional<Dacl> from_sddl(std::string_view text) {
  if (!text.starts_with("D:")) return std::nullopt;
  text.remove_prefix(2);
  Dacl dacl;
  if (text.starts_with("P")) {
    dacl.is_protected = true;
    text.remove_prefix(1);
  }
  while (!text.empty()) {
    auto close = text.find(')');
    if (text[0] != '(' || close == std::string_view::npos) return std::nullopt;
    auto ace = parse_entry(text.substr(1, close - 1));
    if (!ace) return std::nullopt;
    dacl.entries.push_back(std::move(*ace));
    text.remove_prefix(close + 1);
  }
  return dacl;
}

}  // namespace winsim::detail

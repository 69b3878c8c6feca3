// Binary and text forms of ACL entries.
#include "acl_entries.h"

#include <algorithm>
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

// SDDL's names of the rights a file's entries use.
constexpr std::pair<std::string_view, ACCESS_MASK> kRightNames[] = {
    {"FA", 0x1F01FF},   {"FR", 0x120089},   {"FW", 0x120116},   {"FX", 0x1200A0},
    {"GA", 0x10000000}, {"GR", 0x80000000}, {"GW", 0x40000000}, {"GX", 0x20000000},
    {"SD", 0x10000},    {"RC", 0x20000},    {"WD", 0x40000},    {"WO", 0x80000},
};

std::optional<ACCESS_MASK> named_rights(std::string_view text) {
  if (text.empty() || text.size() % 2 != 0) return std::nullopt;
  ACCESS_MASK mask = 0;
  for (; !text.empty(); text.remove_prefix(2)) {
    auto known = std::find_if(std::begin(kRightNames), std::end(kRightNames),
                              [&](const auto& right) { return text.starts_with(right.first); });
    if (known == std::end(kRightNames)) return std::nullopt;
    mask |= known->second;
  }
  return mask;
}

std::optional<ACCESS_MASK> parse_mask(std::string_view text) {
  if (!text.starts_with("0x") && !text.starts_with("0X")) return named_rights(text);
  if (text.size() < 3 || text.size() > 10) return std::nullopt;
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

ACCESS_MASK map_file_generic(ACCESS_MASK mask) {
  constexpr std::pair<ACCESS_MASK, ACCESS_MASK> kFileMapping[] = {
      {0x80000000, 0x120089},  // GENERIC_READ: FILE_GENERIC_READ
      {0x40000000, 0x120116},  // GENERIC_WRITE: FILE_GENERIC_WRITE
      {0x20000000, 0x1200A0},  // GENERIC_EXECUTE: FILE_GENERIC_EXECUTE
      {0x10000000, 0x1F01FF},  // GENERIC_ALL: FILE_ALL_ACCESS
  };
  ACCESS_MASK mapped = mask;
  for (const auto& [generic, specific] : kFileMapping) {
    if (mask & generic) mapped = (mapped & ~generic) | specific;
  }
  return mapped;
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

std::optional<SECURITY_DESCRIPTOR_CONTROL> take_dacl_flags(std::string_view& text) {
  constexpr std::pair<std::string_view, SECURITY_DESCRIPTOR_CONTROL> kFlags[] = {
      {"P", SE_DACL_PROTECTED}, {"AI", SE_DACL_AUTO_INHERITED}, {"AR", SE_DACL_AUTO_INHERIT_REQ}};
  SECURITY_DESCRIPTOR_CONTROL flags = 0;
  while (!text.empty() && text.front() != '(') {
    auto known = std::find_if(std::begin(kFlags), std::end(kFlags),
                              [&](const auto& flag) { return text.starts_with(flag.first); });
    if (known == std::end(kFlags)) return std::nullopt;
    flags |= known->second;
    text.remove_prefix(known->first.size());
  }
  return flags;
}

std::optional<AceList> entries_from_sddl(std::string_view text) {
  AceList entries;
  while (!text.empty()) {
    auto close = text.find(')');
    if (text[0] != '(' || close == std::string_view::npos) return std::nullopt;
    auto ace = parse_entry(text.substr(1, close - 1));
    if (!ace) return std::nullopt;
    entries.push_back(std::move(*ace));
    text.remove_prefix(close + 1);
  }
  return entries;
}

std::optional<Dacl> from_sddl(std::string_view text) {
  if (!text.starts_with("D:")) return std::nullopt;
  text.remove_prefix(2);
  auto flags = take_dacl_flags(text);
  auto entries = flags ? entries_from_sddl(text) : std::nullopt;
  if (!entries) return std::nullopt;
  return Dacl{std::move(*entries), (*flags & SE_DACL_PROTECTED) != 0};
}

}  // namespace winsim::detail

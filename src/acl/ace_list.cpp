#include "acl/ace_list.h"

#include <algorithm>
#include <cstring>

namespace tavo {
namespace {

// An ACL's header, and an allow or deny entry's header and mask before its SID.
constexpr std::size_t kAclHeader = 8;
constexpr std::size_t kEntryHeader = 4;
constexpr std::size_t kSidStart = 8;
// The largest ACL: its size is a 16-bit field, kept a multiple of four.
constexpr std::size_t kMaxAclSize = 0xFFFC;

WORD read_word(const BYTE* at) {
  WORD value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

// A SID's length from its own bytes: the fixed part and four bytes per sub-authority.
std::size_t sid_length(const BYTE* sid) {
  return 8 + 4 * std::size_t{sid[1]};
}

}  // namespace

Ace Ace::of(const SidEntry& entry, PSID sid) {
  const auto* sid_bytes = static_cast<const BYTE*>(sid);
  const std::size_t size = kSidStart + sid_length(sid_bytes);
  std::vector<BYTE> bytes(size);
  bytes[0] = entry.type;
  bytes[1] = entry.flags;
  const auto word = static_cast<WORD>(size);
  std::memcpy(bytes.data() + 2, &word, sizeof word);
  std::memcpy(bytes.data() + kEntryHeader, &entry.mask, sizeof entry.mask);
  std::memcpy(bytes.data() + kSidStart, sid_bytes, size - kSidStart);
  return Ace(std::move(bytes));
}

bool Ace::is_explicit_of(PSID sid) const {
  if (is_inherited() || !is_allow_or_deny()) return false;
  const auto* wanted = static_cast<const BYTE*>(sid);
  const std::size_t length = sid_length(wanted);
  // The entry's SID is known to fit (read checked it): equal SIDs are equal bytes.
  return sid_length(bytes_.data() + kSidStart) == length &&
         std::memcmp(bytes_.data() + kSidStart, wanted, length) == 0;
}

SidEntry Ace::parts() const {
  DWORD mask = 0;
  // An entry of another kind may end with its header.
  if (bytes_.size() >= kSidStart) std::memcpy(&mask, bytes_.data() + kEntryHeader, sizeof mask);
  return SidEntry{.type = type(), .flags = flags(), .mask = mask};
}

PSID Ace::sid() const {
  // The platform's calls take a SID through a mutable pointer, and only read it.
  return const_cast<BYTE*>(bytes_.data() + kSidStart);
}

std::expected<AceList, HresultError> AceList::read(const ACL* acl) {
  if (acl == nullptr) return AceList(ACL_REVISION);
  const auto* bytes = reinterpret_cast<const BYTE*>(acl);
  const auto invalid = std::unexpected(HresultError::from_win32(ERROR_INVALID_ACL));
  AceList list(acl->AclRevision);
  std::size_t offset = kAclHeader;
  for (WORD i = 0; i < acl->AceCount; ++i) {
    if (offset + kEntryHeader > acl->AclSize) return invalid;
    const WORD size = read_word(bytes + offset + 2);
    if (size < kEntryHeader || offset + size > acl->AclSize) return invalid;
    Ace entry(std::vector<BYTE>(bytes + offset, bytes + offset + size));
    if (entry.is_allow_or_deny() &&
        (size < kSidStart + 8 || size < kSidStart + sid_length(bytes + offset + kSidStart))) {
      return invalid;
    }
    list.entries_.push_back(std::move(entry));
    offset += size;
  }
  return list;
}

std::vector<SidEntry> AceList::of_sid(PSID sid) const {
  std::vector<SidEntry> found;
  for (const Ace& entry : entries_) {
    if (entry.is_explicit_of(sid)) found.push_back(entry.parts());
  }
  return found;
}

std::optional<std::size_t> AceList::find(PSID sid, const SidEntry& wanted) const {
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    if (entries_[i].is_explicit_of(sid) && entries_[i].parts() == wanted) return i;
  }
  return std::nullopt;
}

bool AceList::holds_only(PSID sid, const SidEntry& wanted) const {
  return of_sid(sid) == std::vector<SidEntry>{wanted};
}

std::vector<Ace>::iterator AceList::allow_place() {
  return std::ranges::find_if(
      entries_, [](const Ace& entry) { return entry.is_inherited() || entry.is_explicit_allow(); });
}

void AceList::set_allow(PSID sid, const SidEntry& allow, bool replace_denies) {
  remove_of(sid, [&](const SidEntry& entry) {
    return replace_denies || entry.type == ACCESS_ALLOWED_ACE_TYPE;
  });
  entries_.insert(allow_place(), Ace::of(allow, sid));
}

void AceList::add_deny(PSID sid, const SidEntry& deny) {
  entries_.insert(entries_.begin(), Ace::of(deny, sid));
}

std::size_t AceList::remove_of(PSID sid, const std::function<bool(const SidEntry&)>& taken) {
  return std::erase_if(entries_, [&](const Ace& entry) {
    return entry.is_explicit_of(sid) && taken(entry.parts());
  });
}

void AceList::restore(PSID sid, const std::vector<SidEntry>& recorded) {
  remove_of(sid, [](const SidEntry&) { return true; });
  std::vector<Ace> denies;
  std::vector<Ace> allows;
  for (const SidEntry& entry : recorded) {
    (entry.type == ACCESS_DENIED_ACE_TYPE ? denies : allows).push_back(Ace::of(entry, sid));
  }
  entries_.insert(allow_place(), allows.begin(), allows.end());
  entries_.insert(entries_.begin(), denies.begin(), denies.end());
}

void AceList::drop_inherited() {
  std::erase_if(entries_, [](const Ace& entry) { return entry.is_inherited(); });
}

std::expected<OwnedAcl, HresultError> AceList::to_acl() const {
  std::size_t size = kAclHeader;
  for (const Ace& entry : entries_)
    size += entry.bytes().size();
  size = (size + 3) / 4 * 4;
  if (size > kMaxAclSize) return std::unexpected(HresultError::from_win32(ERROR_INVALID_PARAMETER));
  std::vector<std::uint32_t> storage(size / 4, 0);
  auto* bytes = reinterpret_cast<BYTE*>(storage.data());
  ACL header{};
  header.AclRevision = revision_;
  header.AclSize = static_cast<WORD>(size);
  header.AceCount = static_cast<WORD>(entries_.size());
  std::memcpy(bytes, &header, sizeof header);
  std::size_t offset = kAclHeader;
  for (const Ace& entry : entries_) {
    std::memcpy(bytes + offset, entry.bytes().data(), entry.bytes().size());
    offset += entry.bytes().size();
  }
  return OwnedAcl(std::move(storage));
}

namespace {

void keep_inherited_only_when_protected(DaclDraft& dacl) {
  if (!dacl.is_protected) dacl.entries.drop_inherited();
}

}  // namespace

void set_sid_allow(DaclDraft& dacl, PSID sid, const SidEntry& allow, bool replace_denies) {
  if (!dacl.entries.holds_only(sid, allow)) dacl.entries.set_allow(sid, allow, replace_denies);
}

void place_sid_deny(DaclDraft& dacl, PSID sid, const SidEntry& deny) {
  if (dacl.entries.find(sid, deny)) return;
  dacl.entries.add_deny(sid, deny);
  keep_inherited_only_when_protected(dacl);
}

void take_sid_entry(DaclDraft& dacl, PSID sid, const SidEntry& entry) {
  const std::optional<std::size_t> at = dacl.entries.find(sid, entry);
  if (!at) return;
  dacl.entries.remove_at(*at);
  keep_inherited_only_when_protected(dacl);
}

void restore_sid_entries(DaclDraft& dacl, PSID sid, const std::vector<SidEntry>& recorded,
                         bool unprotect) {
  const bool stays_protected = !unprotect && dacl.is_protected;
  if (dacl.entries.of_sid(sid) == recorded && stays_protected == dacl.is_protected) return;
  dacl.entries.restore(sid, recorded);
  if (!stays_protected) dacl.entries.drop_inherited();
  dacl.inherit_again = unprotect;
}

}  // namespace tavo

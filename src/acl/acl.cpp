#include "acl/acl.h"

#include "win/path_names.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "acl/dacl.h"
#include "acl/dacl_object.h"
#include "win/sized_text.h"
#include "win/unique.h"
#include "win/wide.h"

namespace tavo {
namespace {

constexpr DWORD kInheritToAll = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;

// The platform's REVOKE_ACCESS leaves a trustee's deny entries in place, and whether SET_ACCESS
// takes them away no Windows-run source shows; revoking or granting must take them away itself.
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

// Hands the recorder what a write of `object` is about to overwrite for the SID, or, for a deny
// entry, the entry it is about to place (`placed`): that entry is what its undo takes away.
std::expected<void, HresultError> record_change(ChangeRecorder* recorder, ChangeKind kind,
                                                std::string_view path, const DaclObject& object,
                                                const ObjectDacl& before, PSID sid,
                                                const SidEntry* placed = nullptr) {
  if (recorder == nullptr) return {};
  std::expected<std::vector<SidEntry>, HresultError> entries = sid_entries(before.dacl, sid);
  if (placed != nullptr) entries = std::vector<SidEntry>{*placed};
  if (!entries) return std::unexpected(entries.error());
  auto was_protected = is_protected(before.descriptor.get());
  if (!was_protected) return std::unexpected(was_protected.error());
  // Without it the change could be taken back after a crash only through a name, which anyone
  // may have pointed elsewhere meanwhile: no identity, no change.
  auto identity = object.identity();
  if (!identity) return std::unexpected(identity.error());
  recorder->before_write(DaclChange{
      .kind = kind,
      .path = std::string(path),
      .object = object.final_path(),
      .identity = *identity,
      .entries = std::move(*entries),
      .was_protected = *was_protected,
  });
  return {};
}

// Writes `dacl` as the edit recorded just before; the recorder hears whether the write failed,
// or takes the object, to undo the edit through it.
std::expected<void, HresultError> write_recorded(ChangeRecorder* recorder, DaclObject& object,
                                                 SECURITY_INFORMATION info, PACL dacl) {
  auto written = object.write_dacl(info, dacl);
  if (recorder == nullptr) return written;
  if (written) {
    recorder->written(std::move(object));
  } else {
    recorder->write_failed();
  }
  return written;
}

// One of the SID's entries in binary form, ready for AddAce.
void append_entry(std::vector<BYTE>& out, const SidEntry& entry, PSID sid) {
  const DWORD sid_length = GetLengthSid(sid);
  const WORD size = static_cast<WORD>(sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + sid_length);
  const std::size_t at = out.size();
  out.resize(at + size);
  ACCESS_ALLOWED_ACE header{};
  header.Header.AceType = entry.type;
  header.Header.AceFlags = entry.flags;
  header.Header.AceSize = size;
  header.Mask = entry.mask;
  std::memcpy(out.data() + at, &header, offsetof(ACCESS_ALLOWED_ACE, SidStart));
  std::memcpy(out.data() + at + offsetof(ACCESS_ALLOWED_ACE, SidStart), sid, sid_length);
}

void append_entry(std::vector<BYTE>& out, const ACCESS_ALLOWED_ACE& entry) {
  const auto* bytes = reinterpret_cast<const BYTE*>(&entry);
  out.insert(out.end(), bytes, bytes + entry.Header.AceSize);
}

// The entries a restored DACL holds, in the platform's order: the SID's recorded deny entries
// first, as a deny is placed; every other explicit entry as it stands now, with the recorded
// allow entries just before the first explicit allow entry, as a grant is placed; then the
// inherited entries. Those are left out of a DACL that will not be protected: the platform
// computes them again from the parent.
std::expected<std::vector<BYTE>, HresultError> restored_entries(PACL current, PSID sid,
                                                                const DaclChange& change,
                                                                bool keeps_inherited) {
  auto all = entries_of(current);
  if (!all) return std::unexpected(all.error());
  std::vector<BYTE> out;
  for (const SidEntry& entry : change.entries) {
    if (entry.type == ACCESS_DENIED_ACE_TYPE) append_entry(out, entry, sid);
  }
  bool allows_placed = false;
  auto place_allows = [&] {
    if (allows_placed) return;
    allows_placed = true;
    for (const SidEntry& entry : change.entries) {
      if (entry.type != ACCESS_DENIED_ACE_TYPE) append_entry(out, entry, sid);
    }
  };
  for (const AceAt& at : *all) {
    const ACCESS_ALLOWED_ACE& entry = *at.entry;
    auto mine = is_explicit_entry_of(entry, sid);
    if (!mine) return std::unexpected(mine.error());
    if (*mine) continue;
    const bool inherited = (entry.Header.AceFlags & INHERITED_ACE) != 0;
    if (inherited || entry.Header.AceType == ACCESS_ALLOWED_ACE_TYPE) place_allows();
    if (inherited && !keeps_inherited) continue;
    append_entry(out, entry);
  }
  place_allows();
  return out;
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

// An ACL holding `entries` (entry bytes, in order) in storage of its own, DWORD-aligned as ACLs
// are, with `revision`.
std::expected<std::vector<std::uint32_t>, HresultError> acl_of(const std::vector<BYTE>& entries,
                                                               DWORD revision) {
  const DWORD size = static_cast<DWORD>(sizeof(ACL) + entries.size());
  std::vector<std::uint32_t> storage((size + 3) / 4);
  auto* acl = reinterpret_cast<PACL>(storage.data());
  if (!InitializeAcl(acl, static_cast<DWORD>(storage.size() * 4), revision)) {
    return std::unexpected(HresultError::from_last_error());
  }
  if (!entries.empty() && !AddAce(acl, revision, MAXDWORD, const_cast<BYTE*>(entries.data()),
                                  static_cast<DWORD>(entries.size()))) {
    return std::unexpected(HresultError::from_last_error());
  }
  return storage;
}

DWORD revision_of(const ACL* acl) {
  return acl != nullptr ? acl->AclRevision : ACL_REVISION;
}

// The entry a deny places: everything denied, and on a directory inherited by everything below
// it. Not knowing which the object is fails the deny: written without inheritance on a
// directory, a deny would leave everything below it readable.
std::expected<SidEntry, HresultError> deny_entry_of(const DaclObject& object) {
  auto directory = object.is_directory();
  if (!directory) return std::unexpected(directory.error());
  return SidEntry{.type = ACCESS_DENIED_ACE_TYPE,
                  .flags = static_cast<BYTE>(*directory ? kInheritToAll : 0),
                  .mask = kDenyMask};
}

// Where the SID's explicit entry equal to `wanted` stands in `acl`, first of them; none when none
// does.
std::expected<std::optional<DWORD>, HresultError> find_entry(PACL acl, PSID sid,
                                                             const SidEntry& wanted) {
  auto entries = explicit_entries_of(acl, sid);
  if (!entries) return std::unexpected(entries.error());
  for (const AceAt& at : *entries) {
    const SidEntry entry{at.entry->Header.AceType, at.entry->Header.AceFlags, at.entry->Mask};
    if (entry == wanted) return at.index;
  }
  return std::nullopt;
}

// The entries of `current` with `added` (the SID's) first and the entry at `left_out` left out.
// Inherited entries are kept only in a DACL that stays protected: otherwise the platform computes
// them again from the parent.
std::expected<std::vector<BYTE>, HresultError> edited_entries(PACL current, PSID sid,
                                                              const SidEntry* added,
                                                              std::optional<DWORD> left_out,
                                                              bool keeps_inherited) {
  auto all = entries_of(current);
  if (!all) return std::unexpected(all.error());
  std::vector<BYTE> out;
  if (added != nullptr) append_entry(out, *added, sid);
  for (const AceAt& at : *all) {
    if (left_out && at.index == *left_out) continue;
    const bool inherited = (at.entry->Header.AceFlags & INHERITED_ACE) != 0;
    if (inherited && !keeps_inherited) continue;
    append_entry(out, *at.entry);
  }
  return out;
}

// The DACL of `current` with the SID's deny `entry` added first.
std::expected<std::vector<std::uint32_t>, HresultError> with_deny(const ObjectDacl& current,
                                                                  PSID sid, const SidEntry& entry) {
  auto now_protected = is_protected(current.descriptor.get());
  if (!now_protected) return std::unexpected(now_protected.error());
  auto entries = edited_entries(current.dacl, sid, &entry, std::nullopt, *now_protected);
  if (!entries) return std::unexpected(entries.error());
  return acl_of(*entries, revision_of(current.dacl));
}

}  // namespace

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

bool acl_equal(const ACL* a, const ACL* b) {
  if (a == nullptr || b == nullptr) return a == b;
  if (a->AclRevision != b->AclRevision || a->AceCount != b->AceCount) return false;
  const std::optional<std::size_t> used_a = entry_bytes(a);
  const std::optional<std::size_t> used_b = entry_bytes(b);
  if (!used_a || !used_b || *used_a != *used_b) return false;
  return std::memcmp(reinterpret_cast<const BYTE*>(a) + sizeof(ACL),
                     reinterpret_cast<const BYTE*>(b) + sizeof(ACL), *used_a) == 0;
}

std::expected<void, HresultError> grant_access(PSID sid, std::string_view path, AccessLevel level,
                                               const DaclEditLock::Held&,
                                               ChangeRecorder* recorder) {
  auto object = DaclObject::open(to_long_path(path), path, GuardRule::SystemPathsRefused);
  if (!object) return std::unexpected(object.error());
  auto current = object->read_dacl();
  if (!current) return std::unexpected(current.error());
  auto updated = build_acl({explicit_access(sid, access_mask(level), SET_ACCESS, kInheritToAll)},
                           current->dacl);
  if (!updated) return std::unexpected(updated.error());
  // A grant leaves no deny of the SID beside it, whatever SET_ACCESS does with deny entries.
  if (auto cleaned = remove_explicit_denies(updated->get(), sid); !cleaned) {
    return std::unexpected(cleaned.error());
  }
  auto same = unchanged(updated->get(), current->dacl, sid, access_mask(level), kInheritToAll);
  if (!same) return std::unexpected(same.error());
  if (*same) return {};
  if (auto recorded = record_change(recorder, ChangeKind::Grant, path, *object, *current, sid);
      !recorded) {
    return std::unexpected(recorded.error());
  }
  // Without a protection flag the DACL keeps its protection; the platform pushes the
  // inheritable entry down to existing children.
  return write_recorded(recorder, *object, DACL_SECURITY_INFORMATION, updated->get());
}

std::expected<void, HresultError> deny_access(PSID sid, std::string_view path,
                                              const DaclEditLock::Held&, ChangeRecorder* recorder) {
  auto object = DaclObject::open(to_long_path(path), path, GuardRule::SystemPathsRefused);
  if (!object) return std::unexpected(object.error());
  auto current = object->read_dacl();
  if (!current) return std::unexpected(current.error());
  auto entry = deny_entry_of(*object);
  if (!entry) return std::unexpected(entry.error());
  auto standing = find_entry(current->dacl, sid, *entry);
  if (!standing) return std::unexpected(standing.error());
  if (*standing) {
    if (recorder == nullptr) return {};
    auto identity = object->identity();
    if (!identity) return std::unexpected(identity.error());
    // Made before the object is handed over: its final path goes with it.
    DaclChange change{.kind = ChangeKind::DenyEntry,
                      .path = std::string(path),
                      .object = object->final_path(),
                      .identity = *identity,
                      .entries = {*entry},
                      .was_protected = false};
    recorder->deny_stands(std::move(change), std::move(*object));
    return {};
  }
  auto denied = with_deny(*current, sid, *entry);
  if (!denied) return std::unexpected(denied.error());
  if (auto recorded =
          record_change(recorder, ChangeKind::DenyEntry, path, *object, *current, sid, &*entry);
      !recorded) {
    return std::unexpected(recorded.error());
  }
  return write_recorded(recorder, *object, DACL_SECURITY_INFORMATION,
                        reinterpret_cast<PACL>(denied->data()));
}

std::expected<void, HresultError> remove_deny_entry(PSID sid, const DaclChange& change,
                                                    const DaclObject& object,
                                                    const DaclEditLock::Held&) {
  if (change.entries.size() != 1) return {};
  auto current = object.read_dacl();
  if (!current) return std::unexpected(current.error());
  auto at = find_entry(current->dacl, sid, change.entries.front());
  if (!at) return std::unexpected(at.error());
  if (!*at) return {};
  auto now_protected = is_protected(current->descriptor.get());
  if (!now_protected) return std::unexpected(now_protected.error());
  auto entries = edited_entries(current->dacl, sid, nullptr, *at, *now_protected);
  if (!entries) return std::unexpected(entries.error());
  auto acl = acl_of(*entries, revision_of(current->dacl));
  if (!acl) return std::unexpected(acl.error());
  return object.write_dacl(DACL_SECURITY_INFORMATION, reinterpret_cast<PACL>(acl->data()));
}

std::expected<bool, HresultError> put_back_deny(PSID sid, const SidEntry& entry,
                                                const DaclObject& object, const DaclEditLock::Held&,
                                                const std::function<void()>& before_write) {
  auto current = object.read_dacl();
  if (!current) return std::unexpected(current.error());
  auto standing = find_entry(current->dacl, sid, entry);
  if (!standing) return std::unexpected(standing.error());
  if (*standing) return false;
  auto denied = with_deny(*current, sid, entry);
  if (!denied) return std::unexpected(denied.error());
  before_write();
  auto written =
      object.write_dacl(DACL_SECURITY_INFORMATION, reinterpret_cast<PACL>(denied->data()));
  if (!written) return std::unexpected(written.error());
  return true;
}

std::expected<FileIdentity, HresultError> revoke_access(PSID sid, std::string_view path,
                                                        const DaclEditLock::Held&) {
  auto object = DaclObject::open(to_long_path(path), path, GuardRule::SystemPathsRefused);
  if (!object) return std::unexpected(object.error());
  auto identity = object->identity();
  if (!identity) return std::unexpected(identity.error());
  auto current = object->read_dacl();
  if (!current) return std::unexpected(current.error());
  auto revoked = build_acl({explicit_access(sid, 0, REVOKE_ACCESS, kInheritToAll)}, current->dacl);
  if (!revoked) return std::unexpected(revoked.error());
  if (auto cleaned = remove_explicit_denies(revoked->get(), sid); !cleaned) {
    return std::unexpected(cleaned.error());
  }
  // Protection stays as it is: turning inheritance back on for an object its owner protected
  // could widen access to it.
  if (auto written = object->write_dacl(DACL_SECURITY_INFORMATION, revoked->get()); !written)
    return std::unexpected(written.error());
  return *identity;
}

std::expected<void, HresultError> restore_entries(PSID sid, const DaclChange& change,
                                                  const DaclObject& object,
                                                  const DaclEditLock::Held&) {
  auto current = object.read_dacl();
  if (!current) return std::unexpected(current.error());
  auto now_protected = is_protected(current->descriptor.get());
  if (!now_protected) return std::unexpected(now_protected.error());
  const bool stays_protected = !change.set_protection() && *now_protected;

  auto now = sid_entries(current->dacl, sid);
  if (!now) return std::unexpected(now.error());
  if (*now == change.entries && stays_protected == *now_protected) return {};

  auto entries = restored_entries(current->dacl, sid, change, stays_protected);
  if (!entries) return std::unexpected(entries.error());
  auto restored = acl_of(*entries, revision_of(current->dacl));
  if (!restored) return std::unexpected(restored.error());
  auto* acl = reinterpret_cast<PACL>(restored->data());
  // Inheritance comes back only where an earlier version's recorded deny took it away; otherwise
  // the protection stays as it is now, whatever happened to it since.
  return object.write_dacl(change.set_protection() ? kUnprotectedDacl : DACL_SECURITY_INFORMATION,
                           acl);
}

std::expected<void, HresultError> grant_traverse(PSID sid, std::string_view path,
                                                 const DaclEditLock::Held&,
                                                 PlacementNotice* notice) {
  auto object = DaclObject::open(to_long_path(path), path, GuardRule::DriveRootsPass);
  if (!object) {
    if (is_refused_object(object.error())) return std::unexpected(object.error());
    return std::unexpected(HresultError(0xFFFFFFFF, "GetFileSecurityW returned needed=0"));
  }
  auto security = object->read_security();
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
  auto kept = kept_dacl_control(descriptor);
  if (!kept) return std::unexpected(kept.error());

  // A fresh descriptor carries no control bits of its own, and the platform stores those of the
  // descriptor it is given. The one read has them: its protection (a user's profile folder,
  // which traversal passes through, is often protected), kept so that the write leaves
  // inheritance as it was, and its auto-inherited mark, kept so that the next propagation from
  // above still tells the folder's inherited entries from its own.
  SECURITY_DESCRIPTOR absolute{};
  if (!InitializeSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorDacl(&absolute, TRUE, updated->get(), FALSE) ||
      !SetSecurityDescriptorControl(&absolute, kKeptDaclControl, *kept)) {
    return std::unexpected(HresultError::from_last_error());
  }
  announce_placement(notice, path, *object);
  return object->write_security(&absolute);
}

}  // namespace tavo

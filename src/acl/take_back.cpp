#include "acl/take_back.h"

#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "acl/dacl.h"
#include "acl/dacl_lock.h"

namespace tavo {
namespace {

constexpr BYTE kInheritance = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;

bool is_taken(const ACCESS_ALLOWED_ACE& entry, TakenEntries which) {
  const bool deny = entry.Header.AceType == ACCESS_DENIED_ACE_TYPE;
  switch (which) {
    case TakenEntries::Allows:
      return !deny;
    case TakenEntries::TraverseAllows:
      // A grant of the same folder (inheritable) is another entry, placed for another reason.
      return !deny && (entry.Header.AceFlags & kInheritance) == 0;
    case TakenEntries::Denies:
      return deny;
  }
  return false;
}

// A copy of `acl` without the SID's explicit entries of `which` (ACLs are DWORD-aligned);
// nothing when it holds none of them.
std::expected<std::optional<std::vector<std::uint32_t>>, HresultError> without_entries(
    PACL acl, PSID sid, TakenEntries which) {
  if (acl == nullptr) return std::nullopt;
  auto mine = explicit_entries_of(acl, sid);
  if (!mine) return std::unexpected(mine.error());
  std::vector<DWORD> taken;
  for (const AceAt& at : *mine) {
    if (is_taken(*at.entry, which)) taken.push_back(at.index);
  }
  if (taken.empty()) return std::nullopt;
  std::vector<std::uint32_t> storage((acl->AclSize + 3u) / 4u);
  std::memcpy(storage.data(), acl, acl->AclSize);
  auto* copy = reinterpret_cast<PACL>(storage.data());
  // From the back, so that the entries still to go keep their places.
  for (auto it = taken.rbegin(); it != taken.rend(); ++it) {
    if (!DeleteAce(copy, *it)) return std::unexpected(HresultError::from_last_error());
  }
  return storage;
}

std::expected<bool, HresultError> take_back_on_object_only(PSID sid, const DaclObject& object) {
  auto security = object.read_security();
  if (!security) return std::unexpected(security.error());
  PSECURITY_DESCRIPTOR descriptor = security->descriptor();
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted)) {
    return std::unexpected(HresultError::from_last_error());
  }
  auto kept = without_entries(present ? dacl : nullptr, sid, TakenEntries::TraverseAllows);
  if (!kept) return std::unexpected(kept.error());
  if (!*kept) return false;
  auto control = kept_dacl_control(descriptor);
  if (!control) return std::unexpected(control.error());
  // As the traversal grant wrote it: a fresh descriptor carrying the read one's protection and
  // auto-inherited mark, so that inheritance stays as it was.
  SECURITY_DESCRIPTOR absolute{};
  if (!InitializeSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorDacl(&absolute, TRUE, reinterpret_cast<PACL>((*kept)->data()), FALSE) ||
      !SetSecurityDescriptorControl(&absolute, kKeptDaclControl, *control)) {
    return std::unexpected(HresultError::from_last_error());
  }
  if (auto written = object.write_security(&absolute); !written) {
    return std::unexpected(written.error());
  }
  return true;
}

}  // namespace

std::expected<bool, HresultError> take_back_entries(PSID sid, const DaclObject& object,
                                                    TakenEntries which, const DaclEditLock::Held&) {
  if (which == TakenEntries::TraverseAllows) return take_back_on_object_only(sid, object);
  auto current = object.read_dacl();
  if (!current) return std::unexpected(current.error());
  auto kept = without_entries(current->dacl, sid, which);
  if (!kept) return std::unexpected(kept.error());
  if (!*kept) return false;
  // Protection stays as it is: turning inheritance back on could widen access to the object.
  if (auto written =
          object.write_dacl(DACL_SECURITY_INFORMATION, reinterpret_cast<PACL>((*kept)->data()));
      !written) {
    return std::unexpected(written.error());
  }
  return true;
}

std::expected<bool, HresultError> holds_entries(PSID sid, const DaclObject& object,
                                                TakenEntries which) {
  auto current = object.read_dacl();
  if (!current) return std::unexpected(current.error());
  auto kept = without_entries(current->dacl, sid, which);
  if (!kept) return std::unexpected(kept.error());
  return kept->has_value();
}

}  // namespace tavo

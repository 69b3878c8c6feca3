#include "acl/take_back.h"

#include "acl/ace_list.h"
#include "acl/dacl.h"

namespace tavo {
namespace {

constexpr BYTE kInheritance = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;

bool is_taken(const SidEntry& entry, TakenEntries which) {
  const bool deny = entry.type == ACCESS_DENIED_ACE_TYPE;
  switch (which) {
    case TakenEntries::Allows:
      return !deny;
    case TakenEntries::TraverseAllows:
      // A grant of the same folder (inheritable) is another entry, placed for another reason.
      return !deny && (entry.flags & kInheritance) == 0;
    case TakenEntries::Denies:
      return deny;
  }
  return false;
}

}  // namespace

std::expected<bool, HresultError> take_back_entries(PSID sid, const DaclObject& object,
                                                    TakenEntries which,
                                                    const DaclEditLock::Held& held) {
  // A traversal entry goes as it came, with a fresh descriptor on this one object. Protection
  // stays as it is either way: turning inheritance back on could widen access to the object.
  const DaclCalls calls =
      which == TakenEntries::TraverseAllows ? DaclCalls::ThisObjectOnly : DaclCalls::PushedDown;
  return edit_dacl(object, held, calls, [&](DaclDraft& dacl) {
    dacl.entries.remove_of(sid, [&](const SidEntry& entry) { return is_taken(entry, which); });
  });
}

std::expected<bool, HresultError> holds_entries(PSID sid, const DaclObject& object,
                                                TakenEntries which) {
  auto current = object.read_dacl();
  if (!current) return std::unexpected(current.error());
  auto entries = AceList::read(current->dacl);
  if (!entries) return std::unexpected(entries.error());
  for (const SidEntry& entry : entries->of_sid(sid)) {
    if (is_taken(entry, which)) return true;
  }
  return false;
}

}  // namespace tavo

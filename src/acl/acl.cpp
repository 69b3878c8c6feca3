#include "acl/acl.h"

#include "win/path_names.h"

#include <optional>
#include <vector>

#include "acl/ace_list.h"
#include "acl/dacl.h"
#include "acl/dacl_object.h"

namespace tavo {
namespace {

constexpr BYTE kInheritToAll = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;

SidEntry allow_entry(DWORD mask, BYTE flags) {
  return SidEntry{.type = ACCESS_ALLOWED_ACE_TYPE, .flags = flags, .mask = mask};
}

// Hands the recorder what a write of `object` is about to overwrite for the SID (`entries`), or,
// for a deny entry, the entry it is about to place: that entry is what its undo takes away.
std::expected<void, HresultError> record_change(ChangeRecorder& recorder, ChangeKind kind,
                                                std::string_view path, const DaclObject& object,
                                                std::vector<SidEntry> entries, bool was_protected) {
  // Without it the change could be taken back after a crash only through a name, which anyone
  // may have pointed elsewhere meanwhile: no identity, no change.
  auto identity = object.identity();
  if (!identity) return std::unexpected(identity.error());
  recorder.before_write(DaclChange{
      .kind = kind,
      .path = std::string(path),
      .object = object.final_path(),
      .identity = *identity,
      .entries = std::move(entries),
      .was_protected = was_protected,
  });
  return {};
}

// Makes `edit` on `object` as edit_dacl does. When it writes, the recorder first hears what the
// write will overwrite for the SID (or the deny entry `placed`), then whether the write failed,
// or takes the object, to undo the edit through it.
std::expected<void, HresultError> edit_recorded(ChangeRecorder* recorder, ChangeKind kind,
                                                std::string_view path, DaclObject& object,
                                                const DaclEditLock::Held& held, PSID sid,
                                                const SidEntry* placed, const DaclEdit& edit) {
  bool recorded = false;
  auto written =
      edit_dacl(object, held, DaclCalls::PushedDown, edit,
                [&](const DaclDraft& read) -> std::expected<void, HresultError> {
                  if (recorder == nullptr) return {};
                  auto told = record_change(
                      *recorder, kind, path, object,
                      placed != nullptr ? std::vector<SidEntry>{*placed} : read.entries.of_sid(sid),
                      read.is_protected);
                  recorded = told.has_value();
                  return told;
                });
  if (recorded) {
    // Only the write can have failed once the recorder heard of it.
    if (written) {
      recorder->written(std::move(object));
    } else {
      recorder->write_failed();
    }
  }
  if (!written) return std::unexpected(written.error());
  return {};
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

}  // namespace

DWORD access_mask(AccessLevel level) {
  return level == AccessLevel::Read ? kReadMask : kReadWriteMask;
}

std::expected<void, HresultError> grant_access(PSID sid, std::string_view path, AccessLevel level,
                                               const DaclEditLock::Held& held,
                                               ChangeRecorder* recorder) {
  auto object = DaclObject::open(to_long_path(path), path, GuardRule::SystemPathsRefused);
  if (!object) return std::unexpected(object.error());
  const SidEntry allow = allow_entry(access_mask(level), kInheritToAll);
  // A grant leaves no deny of the SID beside it. The protection stays as it is; the platform
  // pushes the inheritable entry down to existing children.
  return edit_recorded(recorder, ChangeKind::Grant, path, *object, held, sid, nullptr,
                       [&](DaclDraft& dacl) { set_sid_allow(dacl, sid, allow, true); });
}

std::expected<void, HresultError> deny_access(PSID sid, std::string_view path,
                                              const DaclEditLock::Held& held,
                                              ChangeRecorder* recorder) {
  auto object = DaclObject::open(to_long_path(path), path, GuardRule::SystemPathsRefused);
  if (!object) return std::unexpected(object.error());
  auto entry = deny_entry_of(*object);
  if (!entry) return std::unexpected(entry.error());
  bool stands = false;
  auto placed = edit_recorded(recorder, ChangeKind::DenyEntry, path, *object, held, sid, &*entry,
                              [&](DaclDraft& dacl) {
                                stands = dacl.entries.find(sid, *entry).has_value();
                                place_sid_deny(dacl, sid, *entry);
                              });
  if (!placed || !stands || recorder == nullptr) return placed;
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

std::expected<void, HresultError> remove_deny_entry(PSID sid, const DaclChange& change,
                                                    const DaclObject& object,
                                                    const DaclEditLock::Held& held) {
  if (change.entries.size() != 1) return {};
  auto removed = edit_dacl(object, held, DaclCalls::PushedDown, [&](DaclDraft& dacl) {
    take_sid_entry(dacl, sid, change.entries.front());
  });
  if (!removed) return std::unexpected(removed.error());
  return {};
}

std::expected<bool, HresultError> put_back_deny(PSID sid, const SidEntry& entry,
                                                const DaclObject& object,
                                                const DaclEditLock::Held& held,
                                                const std::function<void()>& before_write) {
  return edit_dacl(
      object, held, DaclCalls::PushedDown,
      [&](DaclDraft& dacl) { place_sid_deny(dacl, sid, entry); },
      [&](const DaclDraft&) -> std::expected<void, HresultError> {
        before_write();
        return {};
      });
}

std::expected<FileIdentity, HresultError> revoke_access(PSID sid, std::string_view path,
                                                        const DaclEditLock::Held& held) {
  auto object = DaclObject::open(to_long_path(path), path, GuardRule::SystemPathsRefused);
  if (!object) return std::unexpected(object.error());
  auto identity = object->identity();
  if (!identity) return std::unexpected(identity.error());
  // Protection stays as it is: turning inheritance back on for an object its owner protected
  // could widen access to it.
  auto revoked = edit_dacl(*object, held, DaclCalls::PushedDown, [&](DaclDraft& dacl) {
    dacl.entries.remove_of(sid, [](const SidEntry&) { return true; });
    dacl.write_anyway = true;
  });
  if (!revoked) return std::unexpected(revoked.error());
  return *identity;
}

std::expected<void, HresultError> restore_entries(PSID sid, const DaclChange& change,
                                                  const DaclObject& object,
                                                  const DaclEditLock::Held& held) {
  // Inheritance comes back only where an earlier version's recorded deny took it away;
  // otherwise the protection stays as it is now, whatever happened to it since.
  auto restored = edit_dacl(object, held, DaclCalls::PushedDown, [&](DaclDraft& dacl) {
    restore_sid_entries(dacl, sid, change.entries, change.set_protection());
  });
  if (!restored) return std::unexpected(restored.error());
  return {};
}

std::expected<void, HresultError> grant_traverse(PSID sid, std::string_view path,
                                                 const DaclEditLock::Held& held,
                                                 PlacementNotice* notice) {
  auto object = DaclObject::open(to_long_path(path), path, GuardRule::DriveRootsPass);
  if (!object) {
    if (is_refused_object(object.error())) return std::unexpected(object.error());
    return std::unexpected(HresultError(0xFFFFFFFF, "GetFileSecurityW returned needed=0"));
  }
  // Its protection (a user's profile folder, which traversal passes through, is often protected)
  // stays as it was: the write changes this one object with a fresh descriptor.
  const SidEntry traverse = allow_entry(kTraverseMask, 0);
  auto granted = edit_dacl(
      *object, held, DaclCalls::ThisObjectOnly,
      [&](DaclDraft& dacl) { set_sid_allow(dacl, sid, traverse, false); },
      [&](const DaclDraft&) -> std::expected<void, HresultError> {
        announce_placement(notice, path, *object);
        return {};
      });
  if (!granted) return std::unexpected(granted.error());
  return {};
}

}  // namespace tavo

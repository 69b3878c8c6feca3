// Editing the DACL of one file or directory for one SID.
#pragma once

#include <expected>
#include <functional>
#include <string>
#include <string_view>

#include "acl/dacl_change.h"
#include "acl/dacl_lock.h"
#include "acl/dacl_object.h"
#include "acl/placement.h"
#include "win/api.h"
#include "win/error.h"
#include "win/wide.h"

namespace tavo {

enum class AccessLevel {
  Read,       // generic read and execute
  ReadWrite,  // read, write, execute and delete; no delete-child, no WRITE_DAC or WRITE_OWNER
};

inline constexpr DWORD kReadMask = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE;
inline constexpr DWORD kReadWriteMask =
    FILE_GENERIC_READ | FILE_GENERIC_WRITE | FILE_GENERIC_EXECUTE | DELETE;
// Everything: with DELETE, WRITE_DAC and WRITE_OWNER denied too, the SID can neither move a
// denied object aside nor take the deny off it, whatever a grant above lets it inherit.
inline constexpr DWORD kDenyMask = FILE_ALL_ACCESS;
// List and pass through this one object.
inline constexpr DWORD kTraverseMask = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE;
// The values stored DACLs and the journal carry.
static_assert(kReadMask == 0x1200A9 && kReadWriteMask == 0x1301BF && kDenyMask == 0x1F01FF);

DWORD access_mask(AccessLevel level);

// Every edit below is made under the DACL edit lock its caller holds (`held`), from the open
// through the read to the write. Every edit opens the object once, refuses it when the system-path
// guard refuses its final path (is_refused_object tells that error apart), and reads and writes the
// DACL through that one handle: the object read is the object written, even when its path is
// swapped for a link meanwhile. An edit that needs no write succeeds where the caller may not
// change the DACL.

// Sets one inheritable allow entry for the SID at `level`, in place of the SID's explicit allow
// and deny entries. Writes nothing when the DACL already holds exactly that, or when the SID's
// only explicit entry is already that allow entry (only its place among other SIDs' entries would
// change); the DACL's protection is left as it is. A `recorder` hears what the write will
// overwrite before it is made.
std::expected<void, HresultError> grant_access(PSID sid, std::string_view path, AccessLevel level,
                                               const DaclEditLock::Held& held,
                                               ChangeRecorder* recorder = nullptr);

// Adds the SID's deny entry (everything denied; inherited by everything below a directory) to
// the DACL, first, as a deny is placed, beside the SID's other entries, with the protection left
// as it is: an explicit deny comes before every allow entry, the object's own and those inherited
// from above, so it wins without breaking inheritance. Writes nothing when that entry stands
// already; a `recorder` then hears deny_stands, and otherwise what the write will overwrite before
// it is made.
std::expected<void, HresultError> deny_access(PSID sid, std::string_view path,
                                              const DaclEditLock::Held& held,
                                              ChangeRecorder* recorder = nullptr);

// Takes a deny entry placed by deny_access (`change` of kind DenyEntry) back off `object`: the
// first explicit entry of the SID equal to it goes, and nothing else. Writes nothing when no such
// entry stands.
std::expected<void, HresultError> remove_deny_entry(PSID sid, const DaclChange& change,
                                                    const DaclObject& object,
                                                    const DaclEditLock::Held& held);

// Puts the SID's deny `entry` back on `object` when it no longer stands there (someone removed
// it). `before_write` is called just before the write. True when it wrote.
std::expected<bool, HresultError> put_back_deny(PSID sid, const SidEntry& entry,
                                                const DaclObject& object,
                                                const DaclEditLock::Held& held,
                                                const std::function<void()>& before_write);

// Removes the SID's explicit entries, allow and deny alike, and writes the DACL back with its
// protection as it is: an object its owner protected stays protected. The write always happens.
// The identity of the object changed, so that what records it can be told.
std::expected<FileIdentity, HresultError> revoke_access(PSID sid, std::string_view path,
                                                        const DaclEditLock::Held& held);

// Takes one recorded grant (or an earlier version's deny) back on `object`, the object it changed
// (the one the edit held, or one reach_changed_object found): the SID's explicit entries on it
// become the recorded ones again, every other trustee's entries stay as they are now, and the
// protection is put back only when that edit changed it. Writes nothing when that changes nothing.
std::expected<void, HresultError> restore_entries(PSID sid, const DaclChange& change,
                                                  const DaclObject& object,
                                                  const DaclEditLock::Held& held);

// Sets one non-inheritable read-and-execute entry on this one object, with the calls that change
// that object only, so that nothing reaches its children; its protection stays as it was. Writes
// nothing when the entry is there already, wherever it stands among other SIDs' entries. A drive
// root passes the guard here: letting the SID pass through it is what traversal is for. An
// object that cannot be opened or read fails with code 0xFFFFFFFF and "GetFileSecurityW returned
// needed=0", as traversal grants always have. A `notice` hears of the entry before its write.
std::expected<void, HresultError> grant_traverse(PSID sid, std::string_view path,
                                                 const DaclEditLock::Held& held,
                                                 PlacementNotice* notice = nullptr);

}  // namespace tavo

// The security model of files, directories and the NUL device: what each object stores, what
// it inherits, and how a DACL write changes the machine.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "acl_entries.h"
#include "winsim/kernel.h"

namespace winsim::detail {

inline constexpr std::string_view kNulDevice = "NUL";
inline constexpr std::string_view kSystemSid = "S-1-5-18";
inline constexpr std::string_view kAdministratorsSid = "S-1-5-32-544";
inline constexpr std::string_view kCreatorOwnerSid = "S-1-3-0";

// An object whose DACL winsim models: a file or directory, named by its canonical host path
// (links resolved), or the NUL device.
struct SecuredObject {
  std::string key;
  bool is_directory = false;
  bool is_nul_device() const { return key == kNulDevice; }
};

// The object a Windows path names, or the Win32 error for a path that does not exist.
std::expected<SecuredObject, DWORD> object_at_path(std::u16string_view windows_path);
// The object a host path names without following a link in its last component: the link itself
// where there is one (what a delete or a rename acts on).
std::expected<SecuredObject, DWORD> object_itself(const std::string& host);
// The object an open file handle stays on, wherever it has been moved since the open; a removed
// object gives ERROR_ACCESS_DENIED, as a delete-pending one does.
std::expected<SecuredObject, DWORD> object_of_handle(HANDLE handle);
// The trace key of a handle's object: the name it was opened with, or "" for a handle that is
// not a file.
std::string handle_key(HANDLE handle);

// The object's owner in S-1 form: its `owner` record, or by default the user's (SYSTEM for the
// roots, C:\ProgramData and the NUL device).
std::string owner_of(const SecuredObject& object);
// The owner of an object the caller makes when its descriptor names none: Administrators for an
// administrator, the user otherwise.
std::string creator_owner();
// Whether the caller may name `sid` (S-1 form) as an owner: an administrator any, a user only
// itself.
bool may_assign_owner(std::string_view sid);

// Whether the caller may change the object's DACL (`rights` WRITE_DAC) or owner (WRITE_OWNER):
// an administrator may change any; the user an object it owns, and another's object whose
// protected DACL grants it `rights` with no deny entry refusing them; never the NUL device.
bool may_change_dacl(const SecuredObject& object, ACCESS_MASK rights = WRITE_DAC);

// Moves the security records (stored entries, frozen inheritable entries, owner) of `from` and
// of everything below it to `to`, as a rename carries an object's security with it; records left
// at `to` by an object gone from there go. Part of the caller's state change.
void move_object_records(const std::string& from, const std::string& to);
// The same as one state change of its own, made only when there is a record to move or drop.
// The Win32 error of a machine that could not record it, or 0.
DWORD carry_object_records(const std::string& from, const std::string& to);

// Drops the security records of an object just removed, as one state change of its own, made
// only when it has any: on the platform its security goes with it, and an object made later
// under the same name starts afresh. The Win32 error of a machine that could not record it, or 0.
DWORD forget_object_records(const std::string& key);

// The DACL a reader sees: the stored entries, then (unless protected) the inherited ones.
Dacl effective_dacl(const SecuredObject& object);
// SE_DACL_AUTO_INHERITED of the object's DACL: set unless a write or the creation stored a
// descriptor without it.
bool is_auto_inherited(const SecuredObject& object);

enum class Protection { Keep, Protect, Unprotect };
// Whether the change reaches the children: a write through the named or handle calls does; the
// older file-security call changes the one object only.
enum class Reach { ObjectAndChildren, ObjectOnly };
// What one write changes: the owner (S-1 form), the DACL, or both.
struct SecurityWrite {
  std::optional<std::string> owner;
  std::optional<AceList> dacl;
  Protection protection = Protection::Keep;
  // SE_DACL_AUTO_INHERITED of the stored DACL: the named and handle calls set it; the
  // file-security calls and the creating calls store the given descriptor's bit.
  bool auto_inherited = true;
  // The DACL was given at the object's creation: it is the whole DACL, with nothing inherited,
  // until a propagating write on the object or above it.
  bool inherits_nothing = false;
};
// Stores the owner and `dacl` as the object's DACL, generic rights mapped in every entry that
// applies to the object (inherit-only entries keep theirs, for the children to map). An
// unprotected result drops the supplied entries flagged as inherited (they are computed); a
// protected one keeps them as stored entries. The write is one atomic change of the machine;
// the result is the Win32 error of a machine that could not record it, or 0.
DWORD write_security(const SecuredObject& object, const SecurityWrite& write, Reach reach);

}  // namespace winsim::detail

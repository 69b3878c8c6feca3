// The security model of files, directories and the NUL device: what each object stores, what
// it inherits, and how a DACL write changes the machine.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "acl_entries.h"

namespace winsim::detail {

inline constexpr std::string_view kNulDevice = "NUL";

// An object whose DACL winsim models: a file or directory, named by its canonical host path
// (links resolved), or the NUL device.
struct SecuredObject {
  std::string key;
  bool is_directory = false;
  bool is_nul_device() const { return key == kNulDevice; }
};

// The object a Windows path names, or the Win32 error for a path that does not exist.
std::expected<SecuredObject, DWORD> object_at_path(std::u16string_view windows_path);
// The object an open file handle stays on, wherever it has been moved since the open; a removed
// object gives ERROR_ACCESS_DENIED, as a delete-pending one does.
std::expected<SecuredObject, DWORD> object_of_handle(HANDLE handle);
// The trace key of a handle's object: the name it was opened with, or "" for a handle that is
// not a file.
std::string handle_key(HANDLE handle);

// Whether the caller may change the object's DACL: an administrator may change any; otherwise
// only an object no other principal owns, and never the NUL device.
bool may_change_dacl(const SecuredObject& object);

// Moves the security records (stored entries, frozen inheritable entries, owner) of `from` and
// of everything below it to `to`, as a rename carries an object's security with it. Part of the
// caller's state change.
void move_object_records(const std::string& from, const std::string& to);

// The DACL a reader sees: the stored entries, then (unless protected) the inherited ones.
Dacl effective_dacl(const SecuredObject& object);

enum class Protection { Keep, Protect, Unprotect };
// Whether the change reaches the children: a write through the named or handle calls does; the
// older file-security call changes the one object only.
enum class Reach { ObjectAndChildren, ObjectOnly };
// Stores `supplied` as the object's DACL. An unprotected result drops the supplied entries
// flagged as inherited (they are computed); a protected one keeps them as stored entries. The
// write is one atomic change of the machine; the result is the Win32 error of a machine that
// could not record it, or 0.
DWORD write_dacl(const SecuredObject& object, const AceList& supplied, Protection protection,
                 Reach reach);

}  // namespace winsim::detail

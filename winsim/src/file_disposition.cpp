// Removing an object through a handle to it: the delete disposition of SetFileInformationByHandle.
//
// The platform marks the object and removes it when its last handle closes; winsim removes it
// at the call (A: a program that asks for the removal has no use for the name afterwards). What
// goes is the object the handle stands on, found under its current name and checked to be the
// same host object there, so a name that was given to something else meanwhile is never removed
// in its place; a link opened itself goes, never what it names.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "access.h"
#include "files.h"
#include "winsim/kernel.h"

using namespace winsim::detail;

namespace {

bool same_object(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Removes what the handle stands on; the Win32 error, or 0.
DWORD remove_object_of(const FileObject& file) {
  struct stat opened {};
  if (::fstat(file.fd, &opened) != 0) return win32_error_from_errno(errno);
  // Already gone: as for a delete-pending object (A).
  if (opened.st_nlink == 0) return ERROR_ACCESS_DENIED;
  auto path = current_path(file);
  if (!path) return win32_error_from_errno(errno);
  struct stat there {};
  if (::lstat(path->c_str(), &there) != 0 || !same_object(opened, there))
    return ERROR_ACCESS_DENIED;  // the name no longer leads to the handle's object
  if (delete_barred(there, &file)) return ERROR_SHARING_VIOLATION;
  const int removed = S_ISDIR(there.st_mode) ? ::rmdir(path->c_str()) : ::unlink(path->c_str());
  if (removed != 0) return win32_error_from_errno(errno == EEXIST ? ENOTEMPTY : errno, *path);
  return ERROR_SUCCESS;
}

}  // namespace

BOOL SetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS information_class,
                                LPVOID information, DWORD size) {
  if (DWORD error = enter("SetFileInformationByHandle", handle_key(file)))
    return fail(error, FALSE);
  auto object = find_handle_as<FileObject>(file);
  if (!object) return fail(ERROR_INVALID_HANDLE, FALSE);
  if (information_class == FileRenameInfo && information != nullptr)
    return rename_by_handle(*object, *static_cast<const FILE_RENAME_INFO*>(information), size);
  if (information_class != FileDispositionInfo || information == nullptr)
    return fail(ERROR_INVALID_PARAMETER, FALSE);
  constexpr DWORD kBadLength = 24;  // ERROR_BAD_LENGTH, as for a record of the wrong size
  if (size < sizeof(FILE_DISPOSITION_INFO)) return fail(kBadLength, FALSE);
  if (!(object->granted & DELETE)) return fail(ERROR_ACCESS_DENIED, FALSE);
  // Clearing the mark has nothing to undo: nothing is pending here.
  if (!static_cast<const FILE_DISPOSITION_INFO*>(information)->DeleteFile) return TRUE;
  if (object->nul_device) return fail(ERROR_ACCESS_DENIED, FALSE);
  auto secured = object_of_handle(file);
  if (!secured) return fail(secured.error(), FALSE);
  if (!caller_may_delete(*secured)) return fail(ERROR_ACCESS_DENIED, FALSE);
  if (DWORD error = remove_object_of(*object)) return fail(error, FALSE);
  forget_object_records(secured->key);  // gone whether or not its records can go *(A)*
  return TRUE;
}
